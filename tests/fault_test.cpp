// The real vestrel.exe when things go wrong on purpose: killed in every
// phase, on a full disk or a folder nobody can write to, under a virus
// scanner, with targets it cannot replace. Each case checks one promise:
// either the whole job is done, or every file the player had is byte for
// byte as before, no staging file is left, the archive is kept, and the log
// says what happened.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "diag/unique_handle.h"
#include "install/durable_flush.h"
#include "install/file_identity.h"
#include "install/win_paths.h"
#include "tests/support/install_tree.h"
#include "tests/support/programs.h"
#include "tests/support/test_support.h"
#include "tests/support/vestrel_driver.h"
#include "tests/support/zip_writer.h"

// The flush that leaves the disk's cache to one later flush is only for a
// file on the journal's own local NTFS volume, told by its device; a file
// on any other volume (the small tmpfs here) is flushed whole.
TEST(BatchFlush, OnlyOnTheJournalsOwnLocalVolume)
{
    ScopedWorkDir dir;
    auto volumeOf = [](const std::wstring& path) {
        UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        EXPECT_TRUE(file.IsValid()) << Narrow(path);
        return BatchFlushVolume(file.Get());
    };
    std::wstring root; // the working folder in the form the update asks it in
    ASSERT_TRUE(ExtendedLengthRoot(root));
    const std::wstring journal = FolderFlushVolume(root);
    EXPECT_EQ(journal.rfind(L"\\Device\\", 0), 0u) << "Wine's drives are local NTFS: " << Narrow(journal);
    EXPECT_EQ(volumeOf(L"data.pak"), journal);
    const char* smallDisk = std::getenv("VESTREL_TEST_SMALL_DISK");
    if (smallDisk && *smallDisk) {
        EXPECT_EQ(volumeOf(Widen(smallDisk) + L"\\data.pak"), L"");
    }
}

namespace {

// Runs the real vestrel.exe (run mode 2) on an archive over an install,
// from the current directory.
class FaultRun : public ::testing::Test {
protected:
    void ExpectInstallAsBefore(const Files& before, const std::wstring& archive,
                               const VestrelOutcome& run)
    {
        ASSERT_TRUE(run.exited);
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_TRUE(SameFiles(Snapshot(m_install), before)) << "the install changed";
        EXPECT_TRUE(FileExists(archive)) << "the archive must be kept";
        ASSERT_EQ(run.boxes.size(), 2u) << "the failed file, then the error code";
        EXPECT_EQ(run.boxes[1].text, "An error occured.\nError code: 7");
    }

    ScopedWorkDir m_dir;
    std::wstring m_install = m_dir.Path();
};

Files WithLog(Files files, const std::wstring& dir)
{
    files[L"vestrel_logs.txt"] = ReadFileBytes(dir + L"\\vestrel_logs.txt");
    return files;
}

} // namespace

namespace {

const wchar_t kJournal[] = L"vestrel_journal.txt";

// Whether the staging file (".tmp" or ".old") of the update's file number
// (files are numbered in entry order) is in folder.
bool StagingFileThere(const std::wstring& folder, size_t number, const wchar_t* suffix)
{
    return UniqueFind(folder + L"\\~vestrel-*-" + std::to_wstring(number) + suffix).Found();
}

size_t CountStagingFiles(const std::wstring& dir, const wchar_t* suffix)
{
    size_t count = 0;
    for (const std::wstring& name : ListFilesBelow(dir))
        count += name.find(L"~vestrel-") != std::wstring::npos &&
                 name.compare(name.size() - 4, 4, suffix) == 0;
    return count;
}

// Kills the run once what is on disk says it has got that far (or when it
// ends, or after a minute).
void KillWhen(VestrelProcess& vestrel, const std::function<bool()>& reached)
{
    const DWORD start = GetTickCount();
    while (!reached() && vestrel.Running() && GetTickCount() - start < 60000)
        Sleep(1);
    vestrel.Kill();
}

// An install of many small files that an update replaces, so that writing
// aside, keeping, moving into place and undoing each take long enough to be
// killed in, plus new files in a new folder. On the FAT32 and exFAT volumes,
// where each file costs far more, the install is smaller.
class KilledUpdate : public ::testing::Test {
protected:
    const size_t kFiles = TestVolumeKind() == "folder" ? 400 : 60;
    const size_t kLast = kFiles + 9;

    void SetUp() override
    {
        ZipBuilder zip;
        for (size_t i = 0; i <= kLast; ++i) {
            const std::string folder = i < kFiles ? "data/d" + std::to_string(i % 3) : "added";
            const std::string name = folder + "/f" + std::to_string(i) + ".dat";
            const std::wstring path = Folder(i) + L"\\f" + std::to_wstring(i) + L".dat";
            if (i < kFiles)
                m_older[path] = TextBytes(150, static_cast<unsigned>(i));
            m_newer[path] = TextBytes(180, static_cast<unsigned>(10000 + i));
            zip.File(name, m_newer[path], ZIP_CM_STORE);
        }
        ASSERT_TRUE(zip.WriteTo(L"update.zip"));
        m_archive = ReadFileBytes(L"update.zip");
        m_older[L"update.zip"] = m_archive;
    }

    std::wstring Folder(size_t file) const
    {
        return file < kFiles ? L"data\\d" + std::to_wstring(file % 3) : std::wstring(L"added");
    }

    // The install before the update, and nothing else.
    void ResetInstall()
    {
        std::error_code ignored;
        for (const std::wstring& name : ListFilesBelow(m_dir.Path()))
            SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
        std::filesystem::remove_all(L"data", ignored);
        std::filesystem::remove_all(L"added", ignored);
        DeleteFileW(kJournal);
        DeleteFileW(L"vestrel_logs.txt");
        WriteFiles(m_dir.Path(), m_older);
    }

    Files InstallFiles() const
    {
        Files files = Snapshot(m_dir.Path());
        files.erase(L"vestrel_logs.txt");
        return files;
    }

    // What a killed phase leaves on disk, which proves where it was killed.
    // Every file is written aside before any is kept, and every one is kept
    // before the first is moved; the moves go in entry order.
    bool KilledWhileWritingAside() const
    {
        return FileExists(kJournal) && CountStagingFiles(m_dir.Path(), L".tmp") > 0 &&
               CountStagingFiles(m_dir.Path(), L".old") == 0;
    }
    bool Moved(size_t number) const
    {
        return StagingFileThere(Folder(kLast), kLast, L".tmp") &&
               !StagingFileThere(Folder(number), number, L".tmp");
    }
    bool KilledWhileMoving() const { return FileExists(kJournal) && Moved(0); }

    // Kills a run mode 2 once what is on disk says it has got that far.
    void KillUpdateWhen(const std::function<bool()>& reached)
    {
        VestrelProcess vestrel({"2", "update.zip", "f-nothing.exe"});
        KillWhen(vestrel, reached);
    }
    void KillUpdateAt(size_t number, const wchar_t* suffix)
    {
        KillUpdateWhen([&] { return StagingFileThere(Folder(number), number, suffix); });
    }
    void KillUpdateWhenMoved(size_t number)
    {
        KillUpdateWhen([&] { return Moved(number); });
    }
    // The staging file (".tmp" or ".old") of entry number; empty if none.
    std::wstring StagingFile(size_t number, const wchar_t* suffix) const
    {
        const std::wstring folder = Folder(number);
        const UniqueFind find(folder + L"\\~vestrel-*-" + std::to_wstring(number) + suffix);
        return find.Found() ? folder + L"\\" + find.Data().cFileName : std::wstring();
    }

    // Once "moved" is on disk the kept files go, in entry order.
    bool RemovingWhatItKept(size_t number) const
    {
        return StagingFileThere(Folder(number), number, L".old") &&
               !StagingFileThere(Folder(0), 0, L".old");
    }

    ScopedWorkDir m_dir;
    Files m_older, m_newer;
    std::string m_archive;
};

} // namespace

// However the update is stopped, the next start of vestrel.exe, whatever
// its run mode, makes the install whole again and removes what the update
// left; the same update then succeeds. The kills land where what is on
// disk shows: while new content is written aside, while files are moved
// into place, while a next start is undoing such a stop, and once every
// file is in place, while what it kept is removed: that update is kept.
TEST_F(KilledUpdate, NextStartLeavesTheInstallAsItWasAndTheUpdateThenSucceeds)
{
    std::mt19937 random(20261208);
    // Each row kills a run around entry number in its phase, and says
    // whether what is on disk proves that the kill landed there.
    const struct {
        const char* phase;
        std::function<bool(size_t number)> kill;
        bool keepsTheUpdate;
    } kills[] = {
        {"writing aside",
         [&](size_t number) {
             KillUpdateAt(number, L".tmp");
             return KilledWhileWritingAside();
         },
         false},
        {"moving into place",
         [&](size_t number) {
             KillUpdateWhenMoved(number);
             return KilledWhileMoving();
         },
         false},
        {"undoing a stopped update",
         [&](size_t number) {
             const size_t moved = kFiles / 2 + number;
             KillUpdateWhenMoved(moved);
             if (!KilledWhileMoving())
                 return false;
             const size_t undone = moved / 2 + random() % (moved / 4);
             auto putBack = [&] { return !StagingFileThere(Folder(undone), undone, L".old"); };
             VestrelProcess vestrel({"7", "ignored", "f-nothing.exe"});
             KillWhen(vestrel, putBack);
             return FileExists(kJournal) && putBack();
         },
         false},
        // The kept files go in order only after "moved" is recorded.
        {"removing what it kept",
         [&](size_t number) {
             auto removing = [&] { return RemovingWhatItKept(kFiles / 2 + number); };
             KillUpdateWhen(removing);
             return FileExists(kJournal) && removing();
         },
         true},
    };
    const int kKills = TestVolumeKind() == "folder" ? 10 : 3;
    ResetInstall();
    const Files before = InstallFiles();
    Files completed = m_newer;
    completed[L"update.zip"] = m_archive;
    for (const auto& row : kills) {
        int proven = 0;
        for (int attempt = 0; proven < kKills && attempt < 4 * kKills && !HasFailure(); ++attempt) {
            SCOPED_TRACE(std::string(row.phase) + ", attempt " + std::to_string(attempt));
            const bool inPhase = row.kill(kFiles / 8 + random() % (kFiles / 4));

            // Whether or not the kill proved its phase, the next start makes
            // the install whole; only a proven one counts. A kill that missed
            // its moment (the run may even have ended first) leaves one
            // whole install or the other.
            const VestrelOutcome next = RunVestrel({"7", "ignored", "f-nothing.exe"});
            ASSERT_TRUE(next.exited);
            EXPECT_EQ(next.exitCode, 0u);
            EXPECT_TRUE(next.boxes.empty());
            const std::string log = ReadFileBytes(L"vestrel_logs.txt");
            const Files after = InstallFiles();
            if (!inPhase) {
                EXPECT_TRUE(after == completed || after == m_newer || SameFiles(after, before)) << log;
            } else if (row.keepsTheUpdate) {
                EXPECT_NE(log.find("Recovered an update that was stopped here: it had put every file "
                                   "in place; what it left beside them is removed."),
                          std::string::npos)
                    << log;
                EXPECT_TRUE(SameFiles(after, completed)) << "a finished update was not kept";
            } else {
                EXPECT_NE(log.find("Recovered an update that was stopped here: every file it had "
                                   "changed is as it was before."),
                          std::string::npos)
                    << log;
                EXPECT_TRUE(SameFiles(after, before)) << "not every file is as it was";
                EXPECT_FALSE(DirectoryExists(L"added")) << "a folder the update made is left";
            }
            EXPECT_FALSE(FileExists(kJournal));
            proven += inPhase;
            if (row.keepsTheUpdate || !inPhase)
                ResetInstall();
        }
        printf("%s: %d kills in the phase\n", row.phase, proven);
        EXPECT_EQ(proven, kKills) << row.phase;

        const VestrelOutcome again = RunVestrel({"2", "update.zip", "f-nothing.exe"});
        ASSERT_TRUE(again.exited);
        EXPECT_TRUE(again.boxes.empty());
        EXPECT_TRUE(SameFiles(InstallFiles(), m_newer)) << "the update did not succeed after all";
        EXPECT_FALSE(FileExists(kJournal));
        ResetInstall();
    }
}

// A plan that never became the journal (a power cut while it was written
// leaves it cut short, or zero-filled where its data never arrived) is
// removed by the next start, and the update then goes ahead.
TEST_F(KilledUpdate, PlanCutShortIsRemovedAndTheUpdateThenSucceeds)
{
    const std::string cuts[] = {std::string(4096, '\0'),
                                "vestrel journal 2\ntoken\t1-00000000\ndir\tadded\nfile\tdata\\d0"};
    // The last case is held by a virus scanner that shares deletion, so that
    // its name stays taken for a while after it is deleted.
    const struct {
        const std::string& cut;
        bool scanned;
    } cases[] = {{cuts[0], false}, {cuts[1], false}, {cuts[1], true}};
    for (const auto& c : cases) {
        ResetInstall();
        WriteFileBytes(L"~vestrel-journal.tmp", c.cut);
        std::thread letGo;
        if (c.scanned) {
            HANDLE scanner = CreateFileW(L"~vestrel-journal.tmp", GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(scanner, INVALID_HANDLE_VALUE);
            letGo = std::thread([scanner] {
                Sleep(3000);
                CloseHandle(scanner);
            });
        }
        const VestrelOutcome run = RunVestrel({"2", "update.zip", "f-nothing.exe"});
        if (letGo.joinable())
            letGo.join();
        ASSERT_TRUE(run.exited);
        EXPECT_TRUE(run.boxes.empty());
        const std::string log = ReadFileBytes(L"vestrel_logs.txt");
        EXPECT_NE(log.find("Removed [~vestrel-journal.tmp], the plan of an update that was "
                           "stopped before it changed anything."),
                  std::string::npos)
            << log;
        EXPECT_TRUE(SameFiles(InstallFiles(), m_newer)) << log;
    }
}

namespace {

// Mounts the FAT32 volume that the test runs on again, its times read in
// time zone zone (tests/faults/on_volume.sh gives the script). Nothing of
// this process stands in the volume meanwhile.
bool RemountFat(const std::string& zone)
{
    const std::wstring script = Widen(std::getenv("VESTREL_TEST_REMOUNT"));
    const std::wstring marker =
        TestProgramDir() + L"\\remounted-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    auto unixPath = [](std::wstring path) {
        std::replace(path.begin(), path.end(), L'\\', L'/');
        return path.substr(2);
    };
    DeleteFileW(marker.c_str());
    wchar_t here[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, here);
    SetCurrentDirectoryW(TestProgramDir().c_str());
    std::wstring command = L"Z:\\bin\\bash \"" + unixPath(script) + L"\" " + Widen(zone) + L" \"" +
                           unixPath(marker) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    EXPECT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process))
        << GetLastError();
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    // Wine gives no handle to wait on for a Linux program: its marker says.
    std::string said;
    for (int i = 0; i < 300 && said.empty(); ++i) {
        Sleep(100);
        said = ReadFileBytes(marker);
    }
    DeleteFileW(marker.c_str());
    SetCurrentDirectoryW(here);
    EXPECT_EQ(said, "remounted\n");
    return said == "remounted\n";
}

} // namespace

// FAT keeps local time, so every time Windows reports of a file there moves
// when the clock's offset changes (daylight saving time, a journey). An
// update stopped on such a drive, while moving or after its moves, is
// settled after such a change as it would have been before: the copies it
// kept are known by what they hold.
TEST_F(KilledUpdate, StoppedOnFatIsSettledAfterTheClocksOffsetChanged)
{
    if (!std::getenv("VESTREL_TEST_REMOUNT"))
        GTEST_SKIP() << "runs on the FAT32 volume of the test command (volume_tests_fat32)";
    Files completed = m_newer;
    completed[L"update.zip"] = m_archive;
    const char* zones[] = {"UTC-3", "UTC+2"};
    for (int stage = 0; stage < 2 && !HasFailure(); ++stage) {
        const bool afterMoves = stage == 1;
        SCOPED_TRACE(afterMoves ? "stopped after its moves" : "stopped while moving");
        ResetInstall();
        const Files before = InstallFiles();
        bool proven = false;
        for (int attempt = 0; attempt < 10 && !proven; ++attempt) {
            if (attempt > 0)
                ResetInstall();
            if (afterMoves)
                KillUpdateWhen([&] { return RemovingWhatItKept(kFiles / 2); });
            else
                KillUpdateWhenMoved(kFiles / 2);
            proven = FileExists(kJournal) &&
                     (afterMoves ? RemovingWhatItKept(kFiles / 2) : KilledWhileMoving());
        }
        ASSERT_TRUE(proven) << "no kill landed in the phase";

        FileStamp was, is;
        WhatIsAt(L"update.zip", &was);
        ASSERT_TRUE(RemountFat(zones[stage]));
        WhatIsAt(L"update.zip", &is);
        EXPECT_NE(was.lastWrite, is.lastWrite) << "the times did not move";

        const VestrelOutcome next = RunVestrel({"7", "ignored", "f-nothing.exe"});
        ASSERT_TRUE(next.exited);
        EXPECT_TRUE(next.boxes.empty());
        const std::string log = ReadFileBytes(L"vestrel_logs.txt");
        EXPECT_TRUE(SameFiles(InstallFiles(), afterMoves ? completed : before)) << log;
        EXPECT_FALSE(HasStagingFiles(m_dir.Path())) << log;
        EXPECT_FALSE(FileExists(kJournal)) << log;
        // FUSE numbers every file anew at a mount, so here, unlike on
        // Windows, the folder the update made is no longer known by its id:
        // it stays, empty, and is the one thing left as it is.
        const std::string leftFolder = "Left [added] as it is: it is not a folder the update made.";
        const size_t left = log.find("Left [");
        EXPECT_TRUE(left == std::string::npos ||
                    (!afterMoves && left == log.find(leftFolder) && log.find("Left [", left + 1) == std::string::npos))
            << log;
    }
}

// An undo that cannot finish (a file still held) keeps the journal and
// blocks new unpacking until a later start finishes it; other run modes go
// on with their job. So does a journal that another process holds open,
// as a running update does.
TEST_F(KilledUpdate, UnfinishedRecoveryOrARunningUpdateBlocksOnlyTheUnpack)
{
    ResetInstall();
    const Files before = InstallFiles();
    // A kill may miss its moment (the run may even end first): tried again.
    for (int attempt = 0; attempt < 10 && !KilledWhileMoving(); ++attempt) {
        ResetInstall();
        KillUpdateWhenMoved(kFiles / 2);
    }
    ASSERT_TRUE(KilledWhileMoving());
    // The program the other run modes restart lies outside the install.
    const std::wstring elsewhere = m_dir.Path() + L"-elsewhere";
    CreateDirectoryW(elsewhere.c_str(), nullptr);
    const std::wstring restart = elsewhere + L"\\f-restart.exe";
    CopyStandIn(restart);

    // A kept file of a moved entry, and a temporary file of one not moved.
    const std::wstring kept = StagingFile(0, L".old"), temp = StagingFile(kLast, L".tmp");
    ASSERT_FALSE(kept.empty() || temp.empty());
    auto hold = [](const std::wstring& path) {
        return CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    };
    // Each start blocked by a held file logs the failed call and the file,
    // keeps the journal and changes no more. The unpack waits for it a while,
    // then neither opens its archive nor restarts; a launch (run mode 1)
    // does not wait, and starts its program all the same.
    size_t launches = 0;
    auto expectBlocked = [&](bool unpack,
                             const std::vector<std::pair<std::string, std::string>>& failures) {
        const VestrelOutcome blocked =
            unpack ? RunVestrel({"2", "update.zip", "f-nothing.exe"})
                   : RunVestrel({"1", Narrow(restart), Narrow(elsewhere)});
        ASSERT_TRUE(blocked.exited);
        if (unpack) {
            ASSERT_EQ(blocked.boxes.size(), 1u);
            EXPECT_EQ(blocked.boxes[0].text, "An error occured.\nError code: 7");
        } else {
            EXPECT_EQ(blocked.exitCode, 1u);
            EXPECT_FALSE(WaitForStartRecords(restart, ++launches).empty());
        }
        const std::string log = ReplaceLogStamps(ReadFileBytes(L"vestrel_logs.txt"));
        for (const auto& failure : failures) {
            EXPECT_TRUE(std::regex_search(
                log, std::regex(failure.first + " failed with error code \\d+ as follows:")))
                << log;
            EXPECT_NE(log.find(failure.second), std::string::npos) << log;
        }
        EXPECT_NE(log.find("Can't recover the update that was stopped here yet; its journal "
                           "[vestrel_journal.txt] is kept for the next start."),
                  std::string::npos)
            << log;
        EXPECT_EQ(log.find("Unzipping"), std::string::npos) << "the archive must not be opened";
        EXPECT_TRUE(FileExists(kJournal));
        EXPECT_TRUE(ReadFileBytes(L"update.zip") == m_archive);
    };

    // The undo goes newest first and stops at the held kept file of the
    // first entry; the held temporary file of an entry never moved stops
    // nothing, so every file between them is put back.
    HANDLE heldTemp = hold(temp), heldKept = hold(kept);
    ASSERT_NE(heldTemp, INVALID_HANDLE_VALUE) << Narrow(temp);
    ASSERT_NE(heldKept, INVALID_HANDLE_VALUE) << Narrow(kept);
    const std::pair<std::string, std::string> tempHeld = {"DeleteFile", "Can't delete [" + Narrow(temp) + "]."};
    expectBlocked(false, {tempHeld, {"MoveFileEx", "Can't restore [data\\d0\\f0.dat]; its previous "
                                                   "content is kept in [" + Narrow(kept) + "]."}});
    EXPECT_EQ(ReadFileBytes(Folder(1) + L"\\f1.dat"), m_older[Folder(1) + L"\\f1.dat"])
        << "files after the held one are put back";

    // Once the kept file is free, every file is as it was, while the held
    // temporary file still keeps the journal.
    CloseHandle(heldKept);
    expectBlocked(true, {tempHeld});
    for (const auto& file : m_older)
        EXPECT_TRUE(ReadFileBytes(file.first) == file.second) << Narrow(file.first);
    CloseHandle(heldTemp);

    const VestrelOutcome finished = RunVestrel({"7", "ignored", "f-nothing.exe"});
    EXPECT_TRUE(finished.exited && finished.boxes.empty());
    EXPECT_TRUE(SameFiles(InstallFiles(), before)) << "the later start did not finish the undo";
    EXPECT_FALSE(FileExists(kJournal));

    // A journal held open by another process belongs to an update that runs.
    WriteFileBytes(kJournal, "the journal of an update in progress");
    HANDLE running = CreateFileW(kJournal, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(running, INVALID_HANDLE_VALUE);
    const VestrelOutcome second = RunVestrel({"2", "update.zip", "f-nothing.exe"});
    ASSERT_EQ(second.boxes.size(), 1u);
    EXPECT_EQ(second.boxes[0].text, "An error occured.\nError code: 7");
    EXPECT_EQ(ReplaceLogStamps(ReadFileBytes(L"vestrel_logs.txt")),
              "A file is held by another program (error 32); waiting up to 60 seconds for it.\r\n"
              "An update is running in this folder; its journal [vestrel_journal.txt] is left "
              "alone.\r\nError code: [7]\r\n");
    const VestrelOutcome goesOn = RunVestrel({"1", Narrow(restart), Narrow(elsewhere)});
    EXPECT_TRUE(goesOn.exited && goesOn.boxes.empty());
    EXPECT_EQ(WaitForStartRecords(restart, ++launches).size(), launches);
    CloseHandle(running);
    EXPECT_EQ(ReadFileBytes(kJournal), "the journal of an update in progress");
    DeleteFileW(kJournal);
    EXPECT_TRUE(SameFiles(InstallFiles(), before));
    std::error_code ignored;
    std::filesystem::remove_all(elsewhere, ignored);
}

// The running updater's own file is one that cannot be replaced, so an
// update that brings vestrel.exe and is run by that very file fails whole,
// before anything is written. (Targets that cannot be replaced for other
// reasons: archive_test.cpp.)
TEST_F(FaultRun, UpdateThatBringsTheRunningUpdaterFailsCleanly)
{
    WriteFiles(m_install, {{L"patcher.exe", "older patcher"}});
    ZipBuilder zip;
    zip.File("patcher.exe", "new patcher").File("vestrel.exe", "a newer updater");
    ASSERT_TRUE(zip.WriteTo(m_install + L"\\update.zip"));
    const std::wstring updater = m_install + L"\\vestrel.exe";
    ASSERT_TRUE(CopyFileW(VestrelExePath().c_str(), updater.c_str(), FALSE));
    const Files before = Snapshot(m_install);

    VestrelProcess vestrel({"2", "update.zip", "f-nothing.exe"}, SW_SHOWNORMAL, updater);
    const VestrelOutcome run = vestrel.Finish();
    ExpectInstallAsBefore(WithLog(before, m_install), m_install + L"\\update.zip", run);
    const std::string log = ReadFileBytes(L"vestrel_logs.txt");
    EXPECT_NE(log.find("Can't replace [vestrel.exe]: it is the running updater itself."),
              std::string::npos)
        << log;
    EXPECT_EQ(run.boxes[0].text, "There was an error writing the file: [vestrel.exe].");
    EXPECT_FALSE(HasStagingFiles(m_install));
}

// Windows without long-path support refuses names beyond MAX_PATH; Wine
// takes them. Either way the promise holds: all done, or nothing changed.
TEST_F(FaultRun, PathsOverMaxPathEitherCompleteOrChangeNothing)
{
    std::string deepName;
    while (deepName.size() < 300)
        deepName += "a-rather-long-folder-name/";
    deepName += "deep.dat";
    CopyStandIn(m_install + L"\\f-patcher.exe");
    WriteFiles(m_install, {{L"game.dat", "older game data"}});
    ZipBuilder zip;
    zip.File("game.dat", "new game data").File(deepName, "deep data");
    ASSERT_TRUE(zip.WriteTo(m_install + L"\\update.zip"));
    const Files before = Snapshot(m_install);

    VestrelProcess vestrel({"2", "update.zip", "f-patcher.exe"});
    const VestrelOutcome run = vestrel.Finish();
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 0u);
    const std::string log = ReadFileBytes(L"vestrel_logs.txt");
    std::wstring deepPath = m_install + L"\\" + Widen(deepName);
    for (wchar_t& c : deepPath)
        c = c == L'/' ? L'\\' : c;
    if (run.boxes.empty()) {
        printf("names beyond MAX_PATH were unpacked\n");
        EXPECT_EQ(ReadFileBytes(L"game.dat"), "new game data");
        EXPECT_EQ(ReadFileBytes(deepPath), "deep data");
        EXPECT_FALSE(FileExists(L"update.zip"));
        EXPECT_EQ(WaitForStartRecords(m_install + L"\\f-patcher.exe", 1).size(), 1u);
    } else {
        printf("names beyond MAX_PATH were refused\n");
        EXPECT_TRUE(SameFiles(Snapshot(m_install), WithLog(before, m_install)));
        EXPECT_NE(log.find("There was an error writing the file"), std::string::npos) << log;
    }
    EXPECT_FALSE(HasStagingFiles(m_install));
}

// An update whose new content does not fit on its drive is refused before
// anything is written: the box names its first file, one log line says how
// many bytes it needs and how many are free. One that fits, with its
// replaced files kept as second names (the drive makes hard links), goes
// ahead. Needs a small file system of its own: the test command mounts a
// 1 MiB tmpfs and names it in VESTREL_TEST_SMALL_DISK.
TEST_F(FaultRun, UpdateThatDoesNotFitIsRefusedBeforeAnythingIsWritten)
{
    const char* smallDisk = std::getenv("VESTREL_TEST_SMALL_DISK");
    if (!smallDisk || !*smallDisk)
        GTEST_SKIP() << "no small disk was mounted (mounting a tmpfs needs root)";
    const std::wstring disk = Widen(smallDisk);
    ASSERT_TRUE(DirectoryExists(disk));
    const struct {
        const char* label;
        std::vector<RawEntry> entries;
        bool fits;
    } rows[] = {
        {"does not fit", {{"patcher.exe", PatternBytes(400000, 9)}, {"maps/a.map", PatternBytes(400000, 10)},
                          {"maps/b.map", PatternBytes(900000, 11)}}, false},
        {"fits, the replaced files kept as second names",
         {{"patcher.exe", PatternBytes(300000, 12)}, {"maps/a.map", PatternBytes(300000, 13)}}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        std::error_code ignored;
        for (const std::wstring& name : ListFilesBelow(disk))
            std::filesystem::remove(disk + L"\\" + name, ignored);
        WriteFiles(disk, {{L"patcher.exe", TextBytes(100000, 7)}, {L"maps\\a.map", TextBytes(200000, 8)}});
        const std::wstring archive = m_dir.Path() + L"\\update.zip";
        WriteFileBytes(archive, RawZip(row.entries));

        ASSERT_TRUE(SetCurrentDirectoryW(disk.c_str()));
        const Files before = Snapshot(disk);
        FolderWatch watch(disk);
        VestrelProcess vestrel({"2", Narrow(archive), "f-nothing.exe"});
        const VestrelOutcome run = vestrel.Finish();
        const std::vector<std::wstring> made = watch.Stop();
        SetCurrentDirectoryW(m_dir.Path().c_str());
        ASSERT_TRUE(run.exited);
        const std::string log = ReplaceLogStamps(ReadFileBytes(disk + L"\\vestrel_logs.txt"));
        if (row.fits) {
            EXPECT_TRUE(run.boxes.empty()) << log;
            EXPECT_EQ(ReadFileBytes(disk + L"\\patcher.exe"), row.entries[0].data);
            continue;
        }
        const std::vector<std::wstring> written = WrittenByTheUpdate(made);
        EXPECT_TRUE(written.empty()) << Narrow(written.front()) << " was written";
        EXPECT_TRUE(SameFiles(Snapshot(disk), WithLog(before, disk))) << "the install changed";
        EXPECT_TRUE(FileExists(archive));
        EXPECT_TRUE(std::regex_search(log, std::regex("Can't write \\[patcher.exe\\]: the update needs "
                                                      "\\d+ bytes on the drive of \\[\\.\\], and \\d+ are "
                                                      "free.")))
            << log;
        ASSERT_EQ(run.boxes.size(), 2u) << log;
        EXPECT_EQ(run.boxes[0].text, "There was an error writing the file: [patcher.exe].");
    }
}

// In a folder this Windows user cannot write to (a read-only drive; a
// folder without the right), an update that brings files is refused at
// once, before anything is written, and the box names its first file, not
// the updater's journal. An archive of folders alone writes no journal and
// succeeds as before, each folder that cannot be made printed as the
// archive names it. The test command mounts such folders, each holding
// game.dat: VESTREL_TEST_READ_ONLY_DISK and VESTREL_TEST_DENIED_FOLDER.
TEST_F(FaultRun, UnwritableFolderNamesTheFileThatCannotBeWritten)
{
    ZipBuilder files;
    files.File("game.dat", "new game data").File("maps/new.map", "new map");
    ASSERT_TRUE(files.WriteTo(m_dir.Path() + L"\\files.zip"));
    ZipBuilder folders;
    folders.Directory("saves/slots/");
    ASSERT_TRUE(folders.WriteTo(m_dir.Path() + L"\\folders.zip"));
    int tried = 0;
    for (const char* variable : {"VESTREL_TEST_READ_ONLY_DISK", "VESTREL_TEST_DENIED_FOLDER"}) {
        SCOPED_TRACE(variable);
        const char* where = std::getenv(variable);
        if (!where || !*where)
            continue;
        ++tried;
        const std::wstring disk = Widen(where);
        ASSERT_EQ(ReadFileBytes(disk + L"\\game.dat"), "game data");
        ASSERT_TRUE(SetCurrentDirectoryW(disk.c_str()));
        const auto start = std::chrono::steady_clock::now();
        const VestrelOutcome run = RunVestrel({"2", Narrow(m_dir.Path() + L"\\files.zip"), "f-nothing.exe"});
        const auto took = std::chrono::steady_clock::now() - start;
        const VestrelOutcome foldersRun =
            RunVestrel({"2", Narrow(m_dir.Path() + L"\\folders.zip"), "f-nothing.exe"});
        SetCurrentDirectoryW(m_dir.Path().c_str());

        ASSERT_TRUE(run.exited);
        ASSERT_EQ(run.boxes.size(), 2u) << run.standardOutput;
        EXPECT_EQ(run.boxes[0].text, "There was an error writing the file: [game.dat].");
        EXPECT_EQ(run.boxes[1].text, "An error occured.\nError code: 7");
        // No log can be made here either: the reports are on standard output.
        EXPECT_NE(run.standardOutput.find("Can't write [game.dat]: the folder [.] cannot be written "
                                          "by this Windows user."),
                  std::string::npos)
            << run.standardOutput;
        EXPECT_LT(took, std::chrono::seconds(20)) << "a wait for a held file, where nothing is held";
        printf("%s: the box came %lld ms after the start\n", variable,
               static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
        EXPECT_EQ(ListFilesBelow(disk), std::vector<std::wstring>{L"game.dat"});
        EXPECT_EQ(ReadFileBytes(disk + L"\\game.dat"), "game data");
        EXPECT_TRUE(FileExists(m_dir.Path() + L"\\files.zip"));

        ASSERT_TRUE(foldersRun.exited);
        EXPECT_TRUE(foldersRun.boxes.empty());
        EXPECT_NE(foldersRun.standardOutput.find("saves/: "), std::string::npos) << foldersRun.standardOutput;
        EXPECT_NE(foldersRun.standardOutput.find("saves/slots/: "), std::string::npos)
            << foldersRun.standardOutput;
        EXPECT_FALSE(FileExists(m_dir.Path() + L"\\folders.zip"));
        ASSERT_TRUE(folders.WriteTo(m_dir.Path() + L"\\folders.zip"));
    }
    if (tried == 0)
        GTEST_SKIP() << "no unwritable folder was mounted (mounting a tmpfs needs root)";
}

// An LZMA header may name a dictionary far beyond its entry: 4 GiB, which
// the shipped 32-bit exe cannot even hold, or 1 GiB, half of what it can.
// The entries unpack all the same (the decoder takes no more than the
// entry's own size), on both exes.
TEST_F(FaultRun, LzmaHeaderNamingAHugeDictionaryStillUnpacks)
{
    const std::string original = ReadFileBytes(TestProgramDir() + L"\\fixtures\\lzma_by_python.zip");
    ASSERT_FALSE(original.empty());
    for (const std::uint32_t dictionary : {0xFFFFFFFFu, 0x40000000u, 0x04000000u}) {
        SCOPED_TRACE("dictionary " + std::to_string(dictionary));
        WriteFileBytes(L"update.zip", WithLzmaDictionary(original, dictionary));
        const VestrelOutcome run = RunVestrel({"2", "update.zip", "f-nothing.exe"});
        ASSERT_TRUE(run.exited);
        EXPECT_TRUE(run.boxes.empty()) << ReadFileBytes(L"vestrel_logs.txt");
        EXPECT_EQ(ReadFileBytes(L"data\\quests.txt").size(), 100000u);
        EXPECT_EQ(ReadFileBytes(L"data\\one.bin"), "\x01");
    }
}

// zstd entries as another tool writes them unpack byte for byte, on both
// exes. A frame that asks for a window beyond the decoder's 128 MiB is
// refused, with the install as it was and the window named.
TEST_F(FaultRun, ZstdEntriesUnpackAndAFrameTooWideIsRefused)
{
    const std::wstring fixtures = TestProgramDir() + L"\\fixtures\\";
    WriteFileBytes(L"update.zip", ReadFileBytes(fixtures + L"zstd_by_python.zip"));
    const VestrelOutcome run = RunVestrel({"2", "update.zip", "f-nothing.exe"});
    ASSERT_TRUE(run.exited);
    EXPECT_TRUE(run.boxes.empty()) << ReadFileBytes(L"vestrel_logs.txt");
    Files unpacked = Snapshot(m_install);
    unpacked.erase(L"vestrel_logs.txt");
    EXPECT_TRUE(SameFiles(unpacked, Snapshot(fixtures + L"zstd_expected")));

    WriteFileBytes(L"update.zip", ReadFileBytes(fixtures + L"zstd_refused\\window.zip"));
    const Files before = Snapshot(m_install);
    const VestrelOutcome refused = RunVestrel({"2", "update.zip", "f-nothing.exe"});
    ASSERT_TRUE(refused.exited);
    EXPECT_TRUE(SameFiles(Snapshot(m_install), WithLog(before, m_install))) << "the install changed";
    ASSERT_EQ(refused.boxes.size(), 1u) << "the error code alone: no file failed to be written";
    EXPECT_EQ(refused.boxes[0].text, "An error occured.\nError code: 7");
    EXPECT_TRUE(ReadFileBytes(L"vestrel_logs.txt").find(
                    "Can't read [packed.bin] from zip archive: its zstd window is 1073741824 bytes, and "
                    "at most 134217728 are taken") != std::string::npos)
        << ReadFileBytes(L"vestrel_logs.txt");
}

namespace {

// An install, an update of it that adds folders, and the same update with a
// last entry that fails its CRC-32 check, so that it is undone. The large
// entry comes after a file it replaces and a file in a new folder: while it
// is written, the scanner has long since taken hold of both.
struct ScannedUpdate {
    Files older = {{L"patcher.exe", "older patcher"}, {L"maps\\a.map", TextBytes(5000, 21)},
                   {L"readme.txt", "not in the update"}};
    std::vector<RawEntry> entries = {{"patcher.exe", PatternBytes(3000, 22)},
                                     {"added/c.map", PatternBytes(400, 25)},
                                     {"maps/a.map", PatternBytes(3000000, 23)},
                                     {"added/deeper/b.map", PatternBytes(900, 24)}};

    Files Newer() const
    {
        Files newer = older;
        for (const RawEntry& entry : entries) {
            std::wstring name = Widen(entry.name);
            std::replace(name.begin(), name.end(), L'/', L'\\');
            newer[name] = entry.data;
        }
        return newer;
    }

    std::string Damaged() const
    {
        std::vector<RawEntry> damaged = entries;
        damaged.push_back({"added/last.map", std::string(250, 'N')});
        std::string zip = RawZip(damaged);
        zip[zip.rfind(std::string(250, 'N')) + 123] = 'X';
        return zip;
    }
};

} // namespace

// Virus scanners open each file that appears as soon as its writer lets it
// go, and hold it while they look it up; some share deletion, so that what
// is deleted stays listed until they let go. Under such a scanner, holding
// longer than a program's moment but within the wait for new files, an
// update ends as it would without one: done whole, or undone with the
// install as it was and the folders it made removed. On FAT32 and exFAT the
// kept files are copies, which the scanner holds too.
TEST_F(FaultRun, UpdateUnderAScannerEndsAsWithoutOne)
{
    const ScannedUpdate update;
    const struct {
        const char* label;
        bool damaged;
        bool sharesDelete;
    } cases[] = {{"done", false, false}, {"undone", true, false}, {"undone, delete shared", true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::error_code ignored;
        std::filesystem::remove_all(L"maps", ignored);
        std::filesystem::remove_all(L"added", ignored);
        WriteFiles(m_install, update.older);
        const std::string archive = c.damaged ? update.Damaged() : RawZip(update.entries);
        WriteFileBytes(L"update.zip", archive);

        ScannerStandIn scanner(m_install, 3000, c.sharesDelete);
        const VestrelOutcome run = RunVestrel({"2", "update.zip", "f-nothing.exe"});
        EXPECT_GT(scanner.Stop(), 0u) << "the scanner held nothing";
        ASSERT_TRUE(run.exited);
        const std::string log = ReadFileBytes(L"vestrel_logs.txt");
        Files after = Snapshot(m_install);
        after.erase(L"vestrel_logs.txt");
        EXPECT_FALSE(HasStagingFiles(m_install)) << log;
        EXPECT_FALSE(FileExists(kJournal)) << log;
        if (c.damaged) {
            Files expected = update.older;
            expected[L"update.zip"] = archive;
            EXPECT_TRUE(SameFiles(after, expected)) << log;
            EXPECT_FALSE(DirectoryExists(L"added")) << log;
            ASSERT_EQ(run.boxes.size(), 1u) << log;
            EXPECT_EQ(run.boxes[0].text, "An error occured.\nError code: 7");
        } else {
            EXPECT_TRUE(SameFiles(after, update.Newer())) << log;
            EXPECT_TRUE(run.boxes.empty()) << log;
            EXPECT_NE(log.find("A file is held by another program (error 32); waiting up to 60 "
                               "seconds for it."),
                      std::string::npos)
                << log;
        }
    }
}

// A scanner that holds each new file longer than the wait for it fails the
// update, which leaves the install as it was.
TEST_F(FaultRun, ScannerThatHoldsLongerThanTheWaitFailsTheUpdateWhole)
{
    const ScannedUpdate update;
    WriteFiles(m_install, update.older);
    const std::string archive = RawZip(update.entries);
    WriteFileBytes(L"update.zip", archive);
    const Files before = Snapshot(m_install);

    ScannerStandIn scanner(m_install, 65000);
    VestrelProcess vestrel({"2", "update.zip", "f-nothing.exe"});
    const VestrelOutcome run = vestrel.Finish(180000);
    scanner.Stop();
    ExpectInstallAsBefore(WithLog(before, m_install), L"update.zip", run);
    const std::string log = ReadFileBytes(L"vestrel_logs.txt");
    EXPECT_NE(log.find("waiting up to 60 seconds"), std::string::npos) << log;
    EXPECT_NE(log.find("MoveFileEx failed with error code 32"), std::string::npos) << log;
    EXPECT_FALSE(DirectoryExists(L"added")) << log;
    EXPECT_FALSE(HasStagingFiles(m_install)) << log;
    EXPECT_FALSE(FileExists(kJournal)) << log;
}

// The folders an update makes are made under names of its own until their
// ids are on record, so that a stop in between leaves none that the next
// start cannot tell for the update's. The 300 folders are one level, made
// before one record: the kill has their making to land in.
TEST_F(FaultRun, StopBetweenMakingFoldersAndRecordingThemLeavesNone)
{
    ZipBuilder zip;
    for (int i = 0; i < 300; ++i)
        zip.File("new" + std::to_string(i) + "/x.dat", "x", ZIP_CM_STORE);
    ASSERT_TRUE(zip.WriteTo(L"update.zip"));
    auto foldersThere = [] {
        return UniqueFind(L"new*").Found() || UniqueFind(L"~vestrel-*.dir").Found();
    };
    bool proven = false;
    for (int attempt = 0; attempt < 10 && !proven && !HasFailure(); ++attempt) {
        VestrelProcess vestrel({"2", "update.zip", "f-nothing.exe"});
        KillWhen(vestrel, foldersThere);
        proven = foldersThere() && ReadFileBytes(kJournal).find("\nmade\t") == std::string::npos;

        const VestrelOutcome next = RunVestrel({"7", "ignored", "f-nothing.exe"});
        ASSERT_TRUE(next.exited);
        const std::string log = ReadFileBytes(L"vestrel_logs.txt");
        EXPECT_FALSE(foldersThere()) << log;
        EXPECT_EQ(log.find("Left ["), std::string::npos) << log;
        EXPECT_FALSE(FileExists(kJournal)) << log;
    }
    EXPECT_TRUE(proven) << "no kill landed between the folders' making and their record";
}

