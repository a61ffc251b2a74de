#pragma once

#include <cstddef>
#include <cstdint>

#include "diag/log_file.h"

#if defined(__GNUC__)
#define VESTREL_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define VESTREL_PRINTF(fmt, args)
#endif

// Sends a printf-style message, with a line end added, to the debugger,
// standard output and the log, in that order. The message is cut to 1024
// characters. Text that is not a format goes in as a "%s" argument.
void Report(LogFile* log, const char* format, ...) VESTREL_PRINTF(2, 3);

// printf to standard output only: progress text that is not for the record.
void Print(const char* format, ...) VESTREL_PRINTF(1, 2);

// Reports the calling thread's last error after a failed system call, with
// the system's text for it. Call it right after the failed call.
void ReportLastError(const char* functionName);

// Bounded printf into buffer (capacity counts the terminator).
// Returns 0, kFormatInvalidCapacity, or kFormatTruncated.
constexpr std::int32_t kFormatInvalidCapacity = static_cast<std::int32_t>(0x80070057u);
constexpr std::int32_t kFormatTruncated = static_cast<std::int32_t>(0x8007007Au);
std::int32_t FormatBounded(char* buffer, std::size_t capacity, const char* format, ...)
    VESTREL_PRINTF(3, 4);
