// Bench only: the process watch that the update's wait runs back to back.
//   wait_bench.exe passes SECONDS     calls per second, name found / absent
//   wait_bench.exe level SECONDS      handles and memory before and after
//   wait_bench.exe restart RUNS VESTREL STAND_IN POLL_RESTART
//                                     delay from a watched program's end to
//                                     the restarted program's start, for
//                                     vestrel.exe and for the bare loop
//                                     (bench/poll_restart.cpp) by turns, and
//                                     the start-up of a program on its own
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "update/process_watch.h"

namespace {

using Clock = std::chrono::steady_clock;

double CallsPerSecond(const wchar_t* name, double seconds)
{
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    long calls = 0;
    const auto start = Clock::now();
    while (Clock::now() < end) {
        IsProcessRunning(name);
        ++calls;
    }
    return calls / std::chrono::duration<double>(Clock::now() - start).count();
}

uintptr_t FreshHandleValue()
{
    HANDLE probe = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(probe);
    return reinterpret_cast<uintptr_t>(probe);
}

// This process as Linux sees it: Wine's drive Z: is the root.
std::string LinuxMemory()
{
    std::ifstream status("Z:\\proc\\self\\status");
    std::string line, found;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0 || line.rfind("VmData:", 0) == 0)
            found += line + "  ";
    return found;
}

void PrintLevel(const char* when)
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof counters);
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    printf("%s: fresh handle value %#llx, handle count %lu, working set %zu KiB, private %zu KiB, %s\n",
           when, static_cast<unsigned long long>(FreshHandleValue()), handles,
           counters.WorkingSetSize / 1024, counters.PrivateUsage / 1024, LinuxMemory().c_str());
}

long long NowFileTime()
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return (static_cast<long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

long long ReadStartTime(const std::wstring& file)
{
    for (int i = 0; i < 500; ++i) {
        std::ifstream in{std::filesystem::path(file)};
        long long t = 0;
        if (in >> t && t)
            return t;
        Sleep(10);
    }
    return 0;
}

HANDLE Start(const std::wstring& commandLine, DWORD flags)
{
    std::wstring writable = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &writable[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                        &startup, &process))
        return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// How long after the watched program ends the updater started by
// updaterCommand starts it again, in ms; negative when Wine refused a
// start now and then. The stand-in writes its start time to "<exe>.time";
// see helpers/stand_in.cpp.
double RestartDelay(const std::wstring& updaterCommand, const std::wstring& held)
{
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, L"w-bench-release");
    HANDLE watched = Start(L"\"" + held + L"\" --hold w-bench-release", DETACHED_PROCESS);
    Sleep(300);
    HANDLE updater = Start(updaterCommand, 0);
    Sleep(500); // the updater is in its wait by now
    DeleteFileW((held + L".time").c_str());
    SetEvent(release);
    WaitForSingleObject(watched, INFINITE);
    FILETIME created, exited, kernel, user;
    GetProcessTimes(watched, &created, &exited, &kernel, &user);
    const long long ended =
        (static_cast<long long>(exited.dwHighDateTime) << 32) | exited.dwLowDateTime;
    const long long restarted = ReadStartTime(held + L".time");
    if (updater) {
        WaitForSingleObject(updater, 30000);
        CloseHandle(updater);
    }
    CloseHandle(watched);
    CloseHandle(release);
    return restarted && ended ? (restarted - ended) / 10000.0 : -1;
}

void PrintDelays(const char* who, const std::vector<double>& delays)
{
    printf("%s: median %.1f ms (min %.1f, max %.1f) of %zu\n", who, Median(delays),
           *std::min_element(delays.begin(), delays.end()),
           *std::max_element(delays.begin(), delays.end()), delays.size());
}

// vestrel.exe's restart and the bare loop's, run by turns.
int Restart(int runs, const std::wstring& vestrel, const std::wstring& standIn,
            const std::wstring& pollRestart)
{
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    const std::wstring held = std::wstring(cwd) + L"\\w-held.exe";
    CopyFileW(standIn.c_str(), held.c_str(), FALSE);
    std::vector<double> delays, bare, starts;
    for (int run = 0; run < runs; ++run) {
        DeleteFileW((held + L".time").c_str());
        const long long before = NowFileTime();
        HANDLE alone = Start(L"\"" + held + L"\"", DETACHED_PROCESS);
        const long long started = ReadStartTime(held + L".time");
        if (alone) {
            WaitForSingleObject(alone, INFINITE);
            CloseHandle(alone);
        }
        if (started)
            starts.push_back((started - before) / 10000.0);
        const double ours = RestartDelay(L"\"" + vestrel + L"\" 7 - w-held.exe", held);
        if (ours >= 0)
            delays.push_back(ours);
        const double loop =
            RestartDelay(L"\"" + pollRestart + L"\" w-held.exe \"" + held + L"\"", held);
        if (loop >= 0)
            bare.push_back(loop);
    }
    if (delays.empty() || bare.empty() || starts.empty())
        return 1;
    PrintDelays("restart delay after the watched program ends, vestrel.exe", delays);
    PrintDelays("the same, a bare loop that polls the process list and starts it", bare);
    printf("vestrel.exe / the bare loop: %.2fx\n", Median(delays) / Median(bare));
    printf("start of the same program by itself: median %.1f ms of %zu\n", Median(starts),
           starts.size());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::string(argv[1]) == "passes") {
        const double seconds = atof(argv[2]);
        printf("IsProcessRunning calls per second: %.0f when the name runs (this program), "
               "%.0f when it does not\n",
               CallsPerSecond(L"wait_bench.exe", seconds),
               CallsPerSecond(L"no-such-program.exe", seconds));
        return 0;
    }
    if (argc >= 3 && std::string(argv[1]) == "level") {
        const double seconds = atof(argv[2]);
        for (int i = 0; i < 50; ++i)
            IsProcessRunning(L"no-such-program.exe");
        PrintLevel("start");
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        long calls = 0;
        while (Clock::now() < end) {
            IsProcessRunning(L"no-such-program.exe");
            ++calls;
        }
        PrintLevel("after");
        printf("calls: %ld\n", calls);
        return 0;
    }
    if (argc >= 6 && std::string(argv[1]) == "restart") {
        const int runs = atoi(argv[2]);
        auto wide = [](const char* text) { return std::wstring(text, text + strlen(text)); };
        return Restart(runs, wide(argv[3]), wide(argv[4]), wide(argv[5]));
    }
    fprintf(stderr, "usage: wait_bench.exe passes|level SECONDS | "
                    "restart RUNS VESTREL STAND_IN POLL_RESTART\n");
    return 2;
}
