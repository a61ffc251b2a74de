#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "diag/log_file.h"

// The folder that working folders go in when the test command runs a test
// program on a FAT32 or exFAT volume (tests/faults/on_volume.sh), else empty
// (the temporary folder); and which kind of volume that is: "fat32",
// "exfat", or "folder".
std::wstring TestVolumeFolder();
std::string TestVolumeKind();

// A fresh directory under the temporary folder (or TestVolumeFolder) that is
// the working directory while the object lives; removed with everything in
// it after.
class ScopedWorkDir {
public:
    ScopedWorkDir();
    ~ScopedWorkDir();
    ScopedWorkDir(const ScopedWorkDir&) = delete;
    ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;

    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
    std::wstring m_previous;
};

std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);
bool DirectoryExists(const std::wstring& path);
// Whether the file can be opened with no sharing at all: nobody holds it.
bool NobodyHolds(const std::wstring& path);
// Every file below dir, as paths relative to it with '\' separators, sorted.
std::vector<std::wstring> ListFilesBelow(const std::wstring& dir);

// Points g_log at a test's own log for as long as it lives.
class GlobalLogScope {
public:
    explicit GlobalLogScope(LogFile* log) : m_previous(g_log) { g_log = log; }
    ~GlobalLogScope() { g_log = m_previous; }
    GlobalLogScope(const GlobalLogScope&) = delete;
    GlobalLogScope& operator=(const GlobalLogScope&) = delete;

private:
    LogFile* m_previous;
};

// Reads what this process writes to standard output (the C runtime's
// stdout, in text mode) between construction and Finish().
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string Finish();

private:
    int m_savedFd = -1;
    std::wstring m_file;
};

// Answers the message boxes raised on this thread while it lives: reads
// each box's caption, text and icon, then presses OK, as a user would.
class MessageBoxWatcher {
public:
    struct Box {
        std::string caption;
        std::string text;
        bool hasIcon = false;
    };

    MessageBoxWatcher();
    ~MessageBoxWatcher();
    MessageBoxWatcher(const MessageBoxWatcher&) = delete;
    MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;

    const std::vector<Box>& Boxes() const { return m_boxes; }

private:
    static LRESULT CALLBACK CbtProc(int code, WPARAM wParam, LPARAM lParam);
    static void CALLBACK AnswerBox(HWND box, UINT, UINT_PTR, DWORD);

    HHOOK m_hook = nullptr;
    std::vector<Box> m_boxes;
    std::vector<HWND> m_answered;
};

// Reads one message box's caption, text and whether it shows an icon.
MessageBoxWatcher::Box ReadMessageBox(HWND box);

// A log with every time stamp ("MM-DD hh:mm:TTTTT :: ") replaced.
std::string ReplaceLogStamps(const std::string& log, const std::string& replacement = "");
size_t CountLogStamps(const std::string& log);

// Text in this process's ANSI code page, as the command line carries it.
std::string Ansi(const std::wstring& wide);
// The line the updater prints before it starts a program: the path in
// double quotes, backslashes and quotes escaped, then a line end.
std::string QuotedPathLine(const std::wstring& path);

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& wide);
