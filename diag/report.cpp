#include "diag/report.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const char kLastErrorFormat[] = "%s failed with error code %d as follows:\n%s";

// Room for what kLastErrorFormat adds around its three arguments: the fixed
// words, the longest "%d" ("-2147483648") and the terminator.
constexpr std::size_t kLastErrorOverhead =
    sizeof kLastErrorFormat - 1 - 6 /* the three conversions */ + 11 + 1;

constexpr std::size_t kReportMaxChars = 1024;

} // namespace

void Report(LogFile* log, const char* format, ...)
{
    char buffer[kReportMaxChars + 2] = {};
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, kReportMaxChars + 1, format, args);
    va_end(args);
    buffer[kReportMaxChars] = '\0';

    // An empty message stays empty, so its entry runs on into the next one.
    const std::size_t length = strlen(buffer);
    if (length > 0) {
        buffer[length] = '\n';
        buffer[length + 1] = '\0';
    }

    OutputDebugStringA(buffer);
    fputs(buffer, stdout);
    if (log)
        log->Write(buffer);
}

void Print(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

std::int32_t FormatBounded(char* buffer, std::size_t capacity, const char* format, ...)
{
    if (capacity == 0)
        return kFormatInvalidCapacity;
    if (capacity > 2147483647u) {
        buffer[0] = '\0';
        return kFormatInvalidCapacity;
    }
    va_list args;
    va_start(args, format);
    const int written = vsnprintf(buffer, capacity, format, args);
    va_end(args);
    if (written < 0 || static_cast<std::size_t>(written) > capacity - 1) {
        buffer[capacity - 1] = '\0';
        return kFormatTruncated;
    }
    return 0;
}

void ReportLastError(const char* functionName)
{
    const DWORD code = GetLastError();

    char* systemText = nullptr;
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                       FORMAT_MESSAGE_ALLOCATE_BUFFER,
                   nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<char*>(&systemText), 0, nullptr);
    // Some codes have no text; an empty one keeps the entry's shape.
    const char* text = systemText ? systemText : "";

    const std::size_t needed = lstrlenA(functionName) + lstrlenA(text) + kLastErrorOverhead;
    char* composed = static_cast<char*>(LocalAlloc(LMEM_ZEROINIT, needed));
    const std::size_t capacity = composed ? LocalSize(composed) : 0;
    if (FormatBounded(composed, capacity, kLastErrorFormat, functionName,
                      static_cast<int>(code), text) < 0)
        Report(g_log, "FATAL ERROR: Unable to output error code.\n");

    Report(g_log, kLastErrorFormat, functionName, static_cast<int>(code), text);

    LocalFree(systemText);
    LocalFree(composed);
}
