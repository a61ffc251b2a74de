#include "tests/support/install_tree.h"

#include <windows.h>
#include <zlib.h>

#include <filesystem>
#include <random>

#include "archive/entry_name.h"
#include "tests/support/test_support.h"

Files Snapshot(const std::wstring& dir, bool withFolders)
{
    Files files;
    for (const std::wstring& name : ListFilesBelow(dir))
        files[name] = ReadFileBytes(dir + L"\\" + name);
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         withFolders && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_directory(ec))
            files[std::filesystem::relative(it->path(), dir, ec).native() + L"\\"] = "folder";
    return files;
}

void WriteFiles(const std::wstring& dir, const Files& files)
{
    for (const auto& file : files) {
        const std::wstring path = dir + L"\\" + file.first;
        for (size_t at = dir.size() + 1; at < path.size(); ++at)
            if (path[at] == L'\\')
                CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
        if (path.back() != L'\\')
            WriteFileBytes(path, file.second);
    }
}

::testing::AssertionResult SameFiles(const Files& found, const Files& expected)
{
    auto shown = [](const Files& files, const std::wstring& path) {
        const auto at = files.find(path);
        return at == files.end() ? std::string("nothing")
                                 : "[" + at->second.substr(0, 60) +
                                       (at->second.size() > 60 ? "...]" : "]");
    };
    auto a = found.begin();
    auto b = expected.begin();
    while (a != found.end() || b != expected.end()) {
        std::wstring path;
        if (b == expected.end() || (a != found.end() && a->first < b->first))
            path = a->first;
        else if (a == found.end() || b->first < a->first || a->second != b->second)
            path = b->first;
        if (!path.empty())
            return ::testing::AssertionFailure()
                   << "first difference at [" << Narrow(path) << "]: found " << shown(found, path)
                   << ", expected " << shown(expected, path);
        ++a;
        ++b;
    }
    return ::testing::AssertionSuccess();
}

bool HasStagingFiles(const std::wstring& dir)
{
    for (const std::wstring& name : ListFilesBelow(dir))
        if (name.find(L"~vestrel-") != std::wstring::npos)
            return true;
    return false;
}

std::string TextBytes(size_t n, unsigned seed)
{
    static const char* words[] = {"patch ", "map ", "sword ", "inn ", "quest ", "ore ", "\n"};
    std::mt19937 generator(seed);
    std::string text;
    while (text.size() < n)
        text += words[generator() % 7];
    text.resize(n);
    return text;
}

std::uint32_t Crc(const std::string& bytes)
{
    return static_cast<std::uint32_t>(crc32(crc32(0L, Z_NULL, 0),
                                            reinterpret_cast<const Bytef*>(bytes.data()),
                                            static_cast<uInt>(bytes.size())));
}

bool MadeReadOnly(const std::wstring& path)
{
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
    return (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY) != 0;
}

InstallPlan PlanFor(const Entries& entries)
{
    InstallPlan plan;
    EXPECT_TRUE(StartPlan(plan));
    for (size_t i = 0; i < entries.size(); ++i) {
        const std::string& name = entries[i].first;
        const std::string& data = entries[i].second;
        const bool directory = IsDirectoryEntry(name, data.size());
        std::wstring target;
        EXPECT_TRUE(EntryTarget(name, directory, target)) << name;
        const PlanOutcome planned =
            directory ? PlanDirectory(plan, target, name)
                      : PlanFile(plan, target, name, i, data.size(), Crc(data));
        EXPECT_EQ(planned, PlanOutcome::Planned) << name;
    }
    return plan;
}

ContentSource MemoryContent(const Entries& entries)
{
    ContentSource source;
    source.open = [](const PlannedRead&) { return true; };
    source.copy = [entries](const PlannedRead& read, HANDLE out) {
        const std::string& data = entries[read.entry].second;
        DWORD written = 0;
        return !out || WriteFile(out, data.data(), static_cast<DWORD>(data.size()), &written, nullptr)
                   ? ContentOutcome::Written
                   : ContentOutcome::WriteFailed;
    };
    source.done = [](const PlannedRead&) {};
    source.close = [](bool) { return true; };
    return source;
}

void StepUntil(Transaction& transaction, InstallPhase phase, size_t done)
{
    while (!(transaction.phase == phase && transaction.next == done) &&
           transaction.phase != InstallPhase::Done)
        ASSERT_TRUE(Step(transaction));
    ASSERT_TRUE(transaction.phase == phase) << "the update never reached the phase";
}

void StopIn(InstallPlan& plan, const Entries& entries, InstallPhase phase, size_t done)
{
    const ContentSource source = MemoryContent(entries);
    Transaction transaction(plan, source);
    StepUntil(transaction, phase, done);
}

// The first read is issued before the constructor returns: what is made
// from then on is seen.
FolderWatch::FolderWatch(const std::wstring& folder)
    : m_folder(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr)),
      m_stop(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    m_overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(m_folder, INVALID_HANDLE_VALUE) << "watch " << Narrow(folder);
    EXPECT_TRUE(Read()) << "watch " << Narrow(folder) << ": error " << GetLastError();
    m_thread = std::thread([this] { Watch(); });
}

FolderWatch::~FolderWatch()
{
    Stop();
    CloseHandle(m_stop);
    CloseHandle(m_overlapped.hEvent);
    if (m_folder != INVALID_HANDLE_VALUE)
        CloseHandle(m_folder);
}

std::vector<std::wstring> FolderWatch::Stop()
{
    if (m_thread.joinable()) {
        SetEvent(m_stop);
        m_thread.join();
    }
    return m_names;
}

bool FolderWatch::Read()
{
    ResetEvent(m_overlapped.hEvent);
    return ReadDirectoryChangesW(m_folder, m_buffer.data(),
                                 static_cast<DWORD>(m_buffer.size() * sizeof(DWORD)), TRUE,
                                 FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME, nullptr,
                                 &m_overlapped, nullptr) != FALSE;
}

void FolderWatch::Watch()
{
    const char* buffer = reinterpret_cast<const char*>(m_buffer.data());
    for (bool reading = true; reading; reading = Read()) {
        DWORD got = 0;
        const HANDLE events[] = {m_overlapped.hEvent, m_stop};
        const DWORD which = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        // What came with the stop is read too: the run has ended before it.
        if (!GetOverlappedResult(m_folder, &m_overlapped, &got, which != WAIT_OBJECT_0 ? FALSE : TRUE))
            got = 0;
        for (size_t at = 0; got != 0;) {
            const auto* change = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + at);
            if (change->Action == FILE_ACTION_ADDED || change->Action == FILE_ACTION_RENAMED_NEW_NAME)
                m_names.emplace_back(change->FileName, change->FileNameLength / sizeof(wchar_t));
            if (change->NextEntryOffset == 0)
                break;
            at += change->NextEntryOffset;
        }
        if (which != WAIT_OBJECT_0) {
            CancelIoEx(m_folder, &m_overlapped);
            GetOverlappedResult(m_folder, &m_overlapped, &got, TRUE);
            return;
        }
    }
}

std::vector<std::wstring> WrittenByTheUpdate(const std::vector<std::wstring>& made)
{
    std::vector<std::wstring> written;
    for (const std::wstring& name : made)
        if (name != L"vestrel_logs.txt" &&
            (name.size() < 6 || name.compare(name.size() - 6, 6, L".probe") != 0))
            written.push_back(name);
    return written;
}
