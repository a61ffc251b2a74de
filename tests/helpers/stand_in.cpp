// A stand-in for the programs the updater waits for and starts. Every start
// adds "cmdline=[...] cwd=[...]" (UTF-8) to "<own path>.record" and
// writes its start time (FILETIME ticks) to "<own path>.time". Started
// as "--hold EVENT" it stays until that event is set (or a minute passes),
// so that a test decides when it ends; as "--sleep MS" it stays that long.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

void AppendRecord(const std::wstring& self)
{
    wchar_t cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    const std::wstring line =
        std::wstring(L"cmdline=[") + GetCommandLineW() + L"] cwd=[" + cwd + L"]\n";
    const int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, &utf8[0], size, nullptr, nullptr);
    utf8.pop_back();

    // The record is read and written anew: the FAT32 volume of the tests
    // (fusefat) cannot add to a file that was closed once.
    const std::wstring record = self + L".record";
    std::string all;
    HANDLE file = CreateFileW(record.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0)
            all.append(buffer, read);
        CloseHandle(file);
        DeleteFileW(record.c_str());
    }
    all += utf8;
    file = CreateFileW(record.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, all.data(), static_cast<DWORD>(all.size()), &written, nullptr);
    CloseHandle(file);
}

void WriteStartTime(const std::wstring& self, const FILETIME& started)
{
    const unsigned long long ticks =
        (static_cast<unsigned long long>(started.dwHighDateTime) << 32) | started.dwLowDateTime;
    const std::string text = std::to_string(ticks);
    DeleteFileW((self + L".time").c_str()); // see AppendRecord
    HANDLE file = CreateFileW((self + L".time").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

} // namespace

int main()
{
    FILETIME started;
    GetSystemTimePreciseAsFileTime(&started);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    AppendRecord(self);
    WriteStartTime(self, started);

    const std::wstring commandLine = GetCommandLineW();
    const size_t hold = commandLine.find(L"--hold ");
    if (hold != std::wstring::npos) {
        const std::wstring eventName = commandLine.substr(hold + 7);
        HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, eventName.c_str());
        if (release) {
            WaitForSingleObject(release, 60000);
            CloseHandle(release);
        }
    }
    const size_t sleep = commandLine.find(L"--sleep ");
    if (sleep != std::wstring::npos)
        Sleep(static_cast<DWORD>(wcstoul(commandLine.c_str() + sleep + 8, nullptr, 10)));
    return 0;
}
