#pragma once

#include <cstdio>

// The run's log, "vestrel_logs.txt" in the working directory. Every start
// rewrites it, and every entry is flushed as it is written, so the file is
// complete however the process ends.
class LogFile {
public:
    // Never fails: when the file cannot be opened, entries are dropped.
    LogFile();
    virtual ~LogFile();

    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Writes one time-stamped entry; the text brings its own line end.
    void Write(const char* text);

private:
    FILE* m_stream;
};

// The one log of the process: created first thing at start-up, never
// destroyed. Only one thread reports at a time, so it takes no lock.
extern LogFile* g_log;
