// Bench only: vestrel.exe that reports nothing (no log lines, nothing on
// standard output or to the debugger from the report calls), to measure
// what the per-entry lines cost. Takes the place of diag/report.cpp.
#include "diag/report.h"

void Report(LogFile*, const char*, ...) {}

void Print(const char*, ...) {}

void ReportLastError(const char*) {}

std::int32_t FormatBounded(char* buffer, std::size_t capacity, const char*, ...)
{
    if (capacity)
        buffer[0] = '\0';
    return 0;
}
