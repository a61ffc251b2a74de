#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "install/install_plan.h"
#include "install/transaction.h"

// A game's folder as the tests set it up and find it: files by their paths
// relative to the folder ('\' between components) with their bytes.
using Files = std::map<std::wstring, std::string>;

// Every file below dir with its bytes; with folders, also every folder
// below it, as its path with a final '\' and the bytes "folder".
Files Snapshot(const std::wstring& dir, bool withFolders = false);

// Writes files below dir, making the folders on the way.
void WriteFiles(const std::wstring& dir, const Files& files);

// Whether two folders' contents are the same; where not, the first path
// that differs, with what each side holds there.
::testing::AssertionResult SameFiles(const Files& found, const Files& expected);

// Whether a staging file of the updater ("~vestrel-...") is below dir.
bool HasStagingFiles(const std::wstring& dir);

// n bytes of text that compresses like a game's data, from seed.
std::string TextBytes(size_t n, unsigned seed);

std::uint32_t Crc(const std::string& bytes);

// Makes the file read-only; false where Wine cannot (the FUSE volumes).
bool MadeReadOnly(const std::wstring& path);

// An update as an archive brings it: entry names and their contents.
using Entries = std::vector<std::pair<std::string, std::string>>;

// The plan of entries over the working directory, as the unpack makes it.
InstallPlan PlanFor(const Entries& entries);

// A source that hands the install each entry's content from memory.
ContentSource MemoryContent(const Entries& entries);

// Steps the transaction on until it has reached phase with done steps of
// it behind.
void StepUntil(Transaction& transaction, InstallPhase phase, size_t done);

// Runs the update of plan until StepUntil, then drops it as a kill would:
// its journal is let go, and nothing is settled.
void StopIn(InstallPlan& plan, const Entries& entries, InstallPhase phase, size_t done);

// Of the names a FolderWatch saw, those of files the update wrote: all but
// the probes of its checks before writing (".probe", each gone at once) and
// the log.
std::vector<std::wstring> WrittenByTheUpdate(const std::vector<std::wstring>& made);

// Every name made below a folder while it is watched (created or renamed
// to), relative to the folder: what a run made, even what it removed again.
class FolderWatch {
public:
    explicit FolderWatch(const std::wstring& folder);
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // Ends the watch and gives the names seen.
    std::vector<std::wstring> Stop();

private:
    bool Read();
    void Watch();

    HANDLE m_folder = INVALID_HANDLE_VALUE;
    HANDLE m_stop = nullptr;
    OVERLAPPED m_overlapped = {};
    std::vector<DWORD> m_buffer = std::vector<DWORD>(16 * 1024);
    std::thread m_thread;
    std::vector<std::wstring> m_names;
};
