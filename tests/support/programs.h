#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The folder of the running test program, where the helper programs lie.
std::wstring TestProgramDir();

// Copies the stand-in program (see helpers/stand_in.cpp) to path.
void CopyStandIn(const std::wstring& path);

// The stand-in's bytes with marker appended: a distinct build that still runs.
std::string StandInBytesFor(const std::string& marker = std::string());

// One start of a stand-in copy, as it recorded it.
struct StartRecord {
    std::wstring commandLine;
    std::wstring workingDirectory;
};

// What the stand-in at exePath recorded so far.
std::vector<StartRecord> ReadStartRecords(const std::wstring& exePath);

// Waits (up to 10 s) until the stand-in at exePath has recorded count starts.
std::vector<StartRecord> WaitForStartRecords(const std::wstring& exePath, size_t count);

// A stand-in copy that runs until the test lets it end.
class HeldProgram {
public:
    // Copies the stand-in to path and starts it; it runs until End().
    explicit HeldProgram(const std::wstring& path);
    ~HeldProgram();
    HeldProgram(const HeldProgram&) = delete;
    HeldProgram& operator=(const HeldProgram&) = delete;

    // Lets the program end and waits until it has.
    void End();
    bool Running() const;

private:
    HANDLE m_release = nullptr;
    HANDLE m_process = nullptr;
};

// The virus scanner stand-in (helpers/scanner.cpp), watching a folder while
// it lives: each file that appears below it is opened as soon as its
// writer lets go, and held for hold without delete sharing (with it, if
// sharesDelete).
class ScannerStandIn {
public:
    ScannerStandIn(const std::wstring& folder, DWORD holdMs, bool sharesDelete = false);
    ~ScannerStandIn();
    ScannerStandIn(const ScannerStandIn&) = delete;
    ScannerStandIn& operator=(const ScannerStandIn&) = delete;

    // Lets every file go, ends the scanner and says how many files it held.
    unsigned long Stop();

private:
    HANDLE m_stop = nullptr;
    HANDLE m_process = nullptr;
    std::wstring m_report;
    unsigned long m_held = 0;
};

// A command line as the C runtime hands it to the program: argc and argv.
class ArgVector {
public:
    ArgVector(std::initializer_list<std::string> args);
    explicit ArgVector(const std::vector<std::string>& args);
    int Count() const { return static_cast<int>(m_args.size()); }
    char** Values() { return m_pointers.data(); }

private:
    std::vector<std::string> m_args;
    std::vector<char*> m_pointers;
};
