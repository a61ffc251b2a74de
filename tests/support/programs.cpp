#include "tests/support/programs.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "tests/support/test_support.h"

std::wstring TestProgramDir()
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir = self;
    return dir.substr(0, dir.find_last_of(L"\\/"));
}

void CopyStandIn(const std::wstring& path)
{
    const std::wstring standIn = TestProgramDir() + L"\\stand_in.exe";
    ASSERT_TRUE(CopyFileW(standIn.c_str(), path.c_str(), FALSE))
        << "copy stand_in.exe to " << Narrow(path) << ": error " << GetLastError();
}

std::string StandInBytesFor(const std::string& marker)
{
    return ReadFileBytes(TestProgramDir() + L"\\stand_in.exe") + marker;
}

std::vector<StartRecord> ReadStartRecords(const std::wstring& exePath)
{
    std::vector<StartRecord> records;
    std::istringstream lines(ReadFileBytes(exePath + L".record"));
    for (std::string line; std::getline(lines, line);) {
        const std::wstring wide = Widen(line);
        const size_t cmd = wide.find(L"cmdline=[");
        const size_t cwd = wide.rfind(L"] cwd=[");
        if (cmd != 0 || cwd == std::wstring::npos || wide.back() != L']')
            continue;
        records.push_back(
            StartRecord{wide.substr(9, cwd - 9), wide.substr(cwd + 7, wide.size() - cwd - 8)});
    }
    return records;
}

std::vector<StartRecord> WaitForStartRecords(const std::wstring& exePath, size_t count)
{
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<StartRecord> records = ReadStartRecords(exePath);
    while (records.size() < count && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        records = ReadStartRecords(exePath);
    }
    return records;
}

HeldProgram::HeldProgram(const std::wstring& path)
{
    CopyStandIn(path);
    static unsigned counter = 0;
    const std::wstring eventName = L"vestrel-test-hold-" + std::to_wstring(GetCurrentProcessId()) +
                                   L"-" + std::to_wstring(++counter);
    m_release = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    std::wstring commandLine = L"\"" + path + L"\" --hold " + eventName;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    EXPECT_TRUE(CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                               DETACHED_PROCESS, nullptr, nullptr, &startup, &process))
        << "start " << Narrow(path) << ": error " << GetLastError();
    m_process = process.hProcess;
    if (process.hThread)
        CloseHandle(process.hThread);
    // Its start record tells that it has come up.
    WaitForStartRecords(path, 1);
}

HeldProgram::~HeldProgram()
{
    End();
    if (m_process)
        CloseHandle(m_process);
    if (m_release)
        CloseHandle(m_release);
}

void HeldProgram::End()
{
    if (m_release)
        SetEvent(m_release);
    if (m_process) {
        EXPECT_EQ(WaitForSingleObject(m_process, 10000), WAIT_OBJECT_0);
    }
}

bool HeldProgram::Running() const
{
    return m_process && WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT;
}

ScannerStandIn::ScannerStandIn(const std::wstring& folder, DWORD holdMs, bool sharesDelete)
{
    static unsigned counter = 0;
    const std::wstring name = L"vestrel-test-scanner-" + std::to_wstring(GetCurrentProcessId()) +
                              L"-" + std::to_wstring(++counter);
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, (name + L"-ready").c_str());
    m_stop = CreateEventW(nullptr, TRUE, FALSE, (name + L"-stop").c_str());
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    m_report = temp + name + L".txt";
    const std::wstring program = TestProgramDir() + L"\\scanner.exe";
    std::wstring commandLine = L"\"" + program + L"\" \"" + folder + L"\" " +
                               std::to_wstring(holdMs) + (sharesDelete ? L" 1 " : L" 0 ") + name +
                               L"-ready " + name + L"-stop \"" + m_report + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    EXPECT_TRUE(CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                               DETACHED_PROCESS, nullptr, nullptr, &startup, &process))
        << "start the scanner: error " << GetLastError();
    m_process = process.hProcess;
    if (process.hThread)
        CloseHandle(process.hThread);
    HANDLE both[] = {ready, m_process};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 10000), WAIT_OBJECT_0)
        << "the scanner does not watch " << Narrow(folder);
    CloseHandle(ready);
}

ScannerStandIn::~ScannerStandIn()
{
    Stop();
    CloseHandle(m_stop);
}

unsigned long ScannerStandIn::Stop()
{
    if (m_process) {
        SetEvent(m_stop);
        EXPECT_EQ(WaitForSingleObject(m_process, 10000), WAIT_OBJECT_0);
        CloseHandle(m_process);
        m_process = nullptr;
        m_held = std::stoul("0" + ReadFileBytes(m_report));
        DeleteFileW(m_report.c_str());
    }
    return m_held;
}

ArgVector::ArgVector(std::initializer_list<std::string> args)
    : ArgVector(std::vector<std::string>(args))
{
}

ArgVector::ArgVector(const std::vector<std::string>& args) : m_args(args)
{
    for (std::string& arg : m_args)
        m_pointers.push_back(&arg[0]);
    m_pointers.push_back(nullptr);
}
