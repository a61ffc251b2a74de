#include "diag/log_file.h"

#include <windows.h>
#include <mmsystem.h>
#include <time.h>

LogFile* g_log = nullptr;

namespace {

// The name goes through strftime so that a dated name is a one-line change;
// today it holds no conversion and every run writes the same file.
const char kNameTemplate[] = "vestrel_logs.txt";

// The conversion asks for the time zone's rules each time (microseconds,
// per entry); the entries of one second share it. Only one thread reports
// at a time.
struct tm LocalTimeNow()
{
    static __time64_t convertedAt = -1;
    static struct tm local = {};
    __time64_t now = 0;
    _time64(&now);
    if (now != convertedAt) {
        const struct tm* converted = _localtime64(&now);
        local = converted ? *converted : tm{};
        convertedAt = now;
    }
    return local;
}

} // namespace

LogFile::LogFile()
    : m_stream(nullptr)
{
    struct tm local = LocalTimeNow();
    char name[80] = {};
    strftime(name, sizeof name, kNameTemplate, &local);
    m_stream = fopen(name, "w");
}

LogFile::~LogFile()
{
    if (m_stream)
        fclose(m_stream);
    m_stream = nullptr;
}

void LogFile::Write(const char* text)
{
    if (!m_stream)
        return;
    struct tm local = LocalTimeNow();
    // The tick count, not the wall clock, gives sub-minute order: it is
    // what sorts entries written within one minute.
    const unsigned ticks = static_cast<unsigned>(timeGetTime() % 60000u);
    fprintf(m_stream, "%02d-%02d %02d:%02d:%05d :: %s", local.tm_mon + 1, local.tm_mday,
            local.tm_hour, local.tm_min, static_cast<int>(ticks), text);
    fflush(m_stream);
}
