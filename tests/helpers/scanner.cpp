// A stand-in for a virus scanner, for the tests: it watches a folder and
// everything below it, and opens each new file as soon as it can (once its
// writer lets go), holds it for a while and closes it, as scanners do with
// every file that appears.
//
//   scanner.exe FOLDER HOLD_MS SHARE_DELETE READY_EVENT STOP_EVENT REPORT
//
// It holds with read and write sharing, and with delete sharing only when
// SHARE_DELETE is 1: then a deleted file stays listed until it lets go. It
// sets READY_EVENT once it watches, ends when STOP_EVENT is set, and then
// writes to REPORT how many files it held.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct Held {
    HANDLE file;
    DWORD until;
};

// The names that appeared, from one batch of change records.
void NamesAdded(const std::wstring& folder, const BYTE* records, std::vector<std::wstring>& added)
{
    for (;;) {
        const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(records);
        if (record->Action == FILE_ACTION_ADDED || record->Action == FILE_ACTION_RENAMED_NEW_NAME)
            added.push_back(folder + L"\\" +
                            std::wstring(record->FileName, record->FileNameLength / sizeof(wchar_t)));
        if (record->NextEntryOffset == 0)
            return;
        records += record->NextEntryOffset;
    }
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 7)
        return 2;
    const std::wstring folder = argv[1];
    const DWORD hold = static_cast<DWORD>(wcstoul(argv[2], nullptr, 10));
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (argv[3][0] == L'1' ? FILE_SHARE_DELETE : 0);
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[4]);
    HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, argv[5]);
    HANDLE watched = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED,
                                 nullptr);
    if (!ready || !stop || watched == INVALID_HANDLE_VALUE)
        return 3;

    std::vector<DWORD> buffer(16 * 1024);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto watch = [&] {
        ResetEvent(overlapped.hEvent);
        return ReadDirectoryChangesW(watched, buffer.data(), static_cast<DWORD>(buffer.size() * 4),
                                     TRUE, FILE_NOTIFY_CHANGE_FILE_NAME, nullptr, &overlapped,
                                     nullptr) != FALSE;
    };
    if (!watch())
        return 4;
    SetEvent(ready);

    std::vector<std::wstring> waiting; // appeared, not yet opened
    std::vector<Held> held;
    unsigned long count = 0;
    while (WaitForSingleObject(stop, 0) != WAIT_OBJECT_0) {
        if (WaitForSingleObject(overlapped.hEvent, waiting.empty() ? 5 : 0) == WAIT_OBJECT_0) {
            DWORD bytes = 0;
            if (GetOverlappedResult(watched, &overlapped, &bytes, FALSE) && bytes > 0)
                NamesAdded(folder, reinterpret_cast<const BYTE*>(buffer.data()), waiting);
            if (!watch())
                return 5;
        }
        // A writer holds its file without sharing until it is done: try again.
        for (size_t i = 0; i < waiting.size();) {
            const DWORD attributes = GetFileAttributesW(waiting[i].c_str());
            HANDLE file = attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)
                              ? INVALID_HANDLE_VALUE
                              : CreateFileW(waiting[i].c_str(), GENERIC_READ, share, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            const DWORD error = GetLastError();
            if (file != INVALID_HANDLE_VALUE) {
                held.push_back(Held{file, GetTickCount() + hold});
                ++count;
            } else if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                       error == ERROR_SHARING_VIOLATION) {
                ++i;
                continue;
            }
            waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(i));
        }
        for (size_t i = 0; i < held.size();) {
            if (static_cast<LONG>(GetTickCount() - held[i].until) >= 0) {
                CloseHandle(held[i].file);
                held.erase(held.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
        }
        if (!waiting.empty())
            Sleep(1);
    }
    for (const Held& file : held)
        CloseHandle(file.file);
    FILE* report = _wfopen(argv[6], L"w");
    if (report) {
        fprintf(report, "%lu\n", count);
        fclose(report);
    }
    return 0;
}
