// An update stopped in any phase, and whatever the player did to the
// folder before the next start: that start settles the install the one way
// that is left (back, forward, or neither, changing nothing), changes
// nothing that is not proven the update's, and says so in the log. Each
// stop is made by running the update itself and dropping it where a kill
// would.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "diag/log_file.h"
#include "diag/unique_handle.h"
#include "install/file_identity.h"
#include "install/install_name.h"
#include "install/journal_file.h"
#include "install/recovery.h"
#include "install/settle_update.h"
#include "install/transaction.h"
#include "tests/support/install_tree.h"
#include "tests/support/programs.h"
#include "tests/support/test_support.h"
#include "tests/support/zip_writer.h"
#include "update/run_update.h"

namespace {

// The install and an update of it: two files replaced, a new file in a new
// folder, and a new file beside them.
const Files kOlder = {{L"patcher.exe", "old patcher"},
                      {L"maps\\a.map", "old map"},
                      {L"readme.txt", "not in the update"}};
const Entries kUpdate = {{"patcher.exe", "new patcher"},
                         {"maps/a.map", "new map"},
                         {"added/new.map", "new map file"},
                         {"zz.txt", "new zz"}};

Files Newer()
{
    Files newer = kOlder;
    for (const auto& entry : kUpdate)
        newer[std::regex_replace(Widen(entry.first), std::wregex(L"/"), L"\\")] = entry.second;
    return newer;
}

// A staging file of the stopped update, by the number of its file.
std::wstring Staged(const InstallPlan& plan, size_t file, const wchar_t* suffix)
{
    return StagingName(plan.files[file].target, plan.token, file, suffix);
}

// files with every folder on their way, as Snapshot lists folders.
Files WithFolders(Files files)
{
    for (const auto& file : Files(files))
        for (size_t at = file.first.find(L'\\'); at != std::wstring::npos;
             at = file.first.find(L'\\', at + 1))
            files[file.first.substr(0, at + 1)] = "folder";
    return files;
}

// What a player might leave in place of a kept file: the same size as the
// file it keeps, other bytes, and another time.
Files Plant(const InstallPlan& plan)
{
    const std::wstring kept = Staged(plan, 0, L".old");
    DeleteFileW(kept.c_str());
    WriteFileBytes(kept, "old pXtcher");
    UniqueHandle file(CreateFileW(kept.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    const FILETIME year2001 = {0x8a7ec000, 0x01c07385};
    SetFileTime(file.Get(), nullptr, nullptr, &year2001);
    return Files{{kept, "old pXtcher"}};
}

// What a row's player returns where this volume does not let it do what
// the row needs.
const Files kCannotArrange = {{L"", ""}};

std::string Log()
{
    return ReplaceLogStamps(ReadFileBytes(L"vestrel_logs.txt"));
}

const char kBack[] = "Recovered an update that was stopped here: every file it had changed is as it "
                     "was before.";
const char kForward[] = "Recovered an update that was stopped here: it had put every file in "
                        "place; what it left beside them is removed.";
const char kFinished[] = "Recovered an update that was stopped here by finishing it, as it could "
                         "not be undone: every file it changes holds its new content.";
const char kPartly[] = "Recovered an update that was stopped here as far as its journal is borne "
                       "out: what it names that the update did not write is left as it is.";

} // namespace

TEST(SettleStoppedUpdate, EveryPhaseAndWhatThePlayerDidEndsTheWayThatIsLeft)
{
    enum Way { Back, Forward, Neither };
    using Between = std::function<Files(const InstallPlan&)>;
    const Between nothing = [](const InstallPlan&) { return Files(); };
    const struct {
        const char* label;
        InstallPhase phase; // where the update was stopped,
        size_t done;        // with so many steps of that phase behind it
        Between between;    // what the player did; returns what must stay so
        Way way;
        std::vector<std::string> lines; // lines the log must hold
    } rows[] = {
        {"stopped while writing aside", InstallPhase::Staging, 2, nothing, Back, {kBack}},
        {"stopped once every file was kept", InstallPhase::Keeping, 4, nothing, Back, {kBack}},
        {"stopped while moving", InstallPhase::Moving, 2, nothing, Back, {kBack}},
        {"stopped once every file was moved, before its record", InstallPhase::Moving, 4, nothing,
         Back, {kBack}},
        {"stopped while removing what it kept", InstallPhase::Moved, 1, nothing, Forward, {kForward}},
        {"a kept file deleted", InstallPhase::Moving, 2,
         [](const InstallPlan& plan) {
             DeleteFileW(Staged(plan, 0, L".old").c_str());
             return Files();
         },
         Forward, {"The update that was stopped here cannot be undone: [patcher.exe] holds the "
                   "update's content, and the file it replaced is gone.", kFinished}},
        {"a kept file and another entry's temporary file deleted", InstallPhase::Moving, 2,
         [](const InstallPlan& plan) {
             DeleteFileW(Staged(plan, 0, L".old").c_str());
             DeleteFileW(Staged(plan, 3, L".tmp").c_str());
             return Files();
         },
         Neither, {"The update that was stopped here cannot be undone: [patcher.exe] holds the "
                   "update's content, and the file it replaced is gone.",
                   "Nor can it be finished: [zz.txt] does not hold the update's content, and its "
                   "temporary file is gone.",
                   "Can't recover the update that was stopped here: it can be neither undone nor "
                   "finished, so nothing is changed; its journal [vestrel_journal.txt] is kept."}},
        {"a new file's temporary file and a kept file made read-only", InstallPhase::Moving, 2,
         [](const InstallPlan& plan) {
             MadeReadOnly(Staged(plan, 3, L".tmp"));
             MadeReadOnly(Staged(plan, 0, L".old"));
             return Files();
         },
         Back, {kBack}},
        {"a draft of a journal made read-only", InstallPhase::Planned, 0,
         [](const InstallPlan& plan) {
             WriteFileBytes(kJournalDraftName, PlanText(plan).substr(0, 30));
             MadeReadOnly(kJournalDraftName);
             return Files();
         },
         Back, {"Removed [~vestrel-journal.tmp], the plan of an update that was stopped before it "
                "changed anything."}},
        {"a new file the player wrote over", InstallPhase::Moving, 3,
         [](const InstallPlan&) {
             WriteFileBytes(L"added\\new.map", "player's map");
             MadeReadOnly(L"added\\new.map");
             return Files{{L"added\\new.map", "player's map"}, {L"added\\", "folder"}};
         },
         Back, {"Left [added\\new.map] as it is: it is not what the update wrote.",
                "Left [added] as it is: it holds what the update did not bring.", kPartly}},
        {"a kept file the player put his own in place of", InstallPhase::Keeping, 4,
         [](const InstallPlan& plan) {
             DeleteFileW(Staged(plan, 0, L".old").c_str());
             WriteFileBytes(Staged(plan, 0, L".old"), "planted");
             return Files{{Staged(plan, 0, L".old"), "planted"}};
         },
         Back, {"-0.old] as it is: it is not the file the update kept.", kPartly}},
        {"the journal made read-only", InstallPhase::Moving, 2,
         [](const InstallPlan&) {
             MadeReadOnly(kJournalName);
             return Files();
         },
         Back, {kBack}},
        {"a read-only target where a kept file is gone", InstallPhase::Moving, 1,
         [](const InstallPlan& plan) {
             DeleteFileW(Staged(plan, 0, L".old").c_str());
             return MadeReadOnly(L"maps\\a.map") ? Files() : kCannotArrange;
         },
         Neither, {"Nor can it be finished: [maps\\a.map] is read-only."}},
        {"renames the disk lost, with moved on it", InstallPhase::Moved, 0,
         [](const InstallPlan& plan) {
             MoveFileW(L"patcher.exe", Staged(plan, 0, L".tmp").c_str());
             CopyFileW(Staged(plan, 0, L".old").c_str(), L"patcher.exe", TRUE);
             MoveFileW(L"zz.txt", Staged(plan, 3, L".tmp").c_str());
             return Files();
         },
         Forward, {"Put [patcher.exe] in place: its move had not reached the disk.",
                   "Put [zz.txt] in place: its move had not reached the disk.", kForward}},
        {"a rename the disk lost, its target the player's since", InstallPhase::Moved, 0,
         [](const InstallPlan& plan) {
             MoveFileW(L"patcher.exe", Staged(plan, 0, L".tmp").c_str());
             WriteFileBytes(L"patcher.exe", "player's patcher");
             return Files{{L"patcher.exe", "player's patcher"},
                          {Staged(plan, 0, L".tmp"), "new patcher"},
                          {Staged(plan, 0, L".old"), "old patcher"}};
         },
         Forward, {"Left [patcher.exe] as it is: it is neither what the update wrote nor what it "
                   "replaced; its new content stays in [", kPartly}},
        {"a kept file planted in its place, once every file was moved", InstallPhase::Moving, 4,
         Plant, Forward, {"-0.old] as it is: it is not the file the update kept.",
                          "Recovered an update that was stopped here by finishing it, as it could not "
                          "be undone: what it names that the update did not write is left as it is."}},
        {"a kept file planted in its place, after moved", InstallPhase::Moved, 0, Plant, Forward,
         {"-0.old] as it is: it is not the file the update kept.", kPartly}},
        {"a replaced file the player wrote over", InstallPhase::Moving, 1,
         [](const InstallPlan& plan) {
             WriteFileBytes(L"patcher.exe", "player's patcher");
             return Files{{L"patcher.exe", "player's patcher"},
                          {Staged(plan, 0, L".old"), "old patcher"}};
         },
         Back, {"Left [patcher.exe] as it is: it is not what the update wrote. What the update "
                "kept of it stays in [", kPartly}},
        {"a folder of the player's where the update was to make one", InstallPhase::Folders, 0,
         [](const InstallPlan&) {
             CreateDirectoryW(L"added", nullptr);
             WriteFileBytes(L"added\\mine.txt", "player's");
             return Files{{L"added\\mine.txt", "player's"}};
         },
         Back, {"Left [added] as it is: it is not a folder the update made.", kPartly}},
        {"the update's folder made anew by the player", InstallPhase::Staging, 0,
         [](const InstallPlan&) {
             // Made while the old one still is, so that it cannot get its id.
             MoveFileW(L"added", L"added-old");
             CreateDirectoryW(L"added", nullptr);
             RemoveDirectoryW(L"added-old");
             return Files{{L"added\\", "folder"}};
         },
         Back, {"Left [added] as it is: it is not a folder the update made.", kPartly}},
        {"the journal damaged", InstallPhase::Moving, 2,
         [](const InstallPlan&) {
             std::string journal = ReadFileBytes(kJournalName);
             journal[journal.find("patcher.exe")] = 'q';
             WriteFileBytes(kJournalName, journal);
             return Files();
         },
         Neither, {"Can't recover the update that was stopped here: its journal "
                   "[vestrel_journal.txt] is left alone, as its checksum does not match."}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        ScopedWorkDir dir;
        LogFile log;
        GlobalLogScope logScope(&log);
        WriteFiles(dir.Path(), kOlder);
        InstallPlan plan = PlanFor(kUpdate);
        ASSERT_NO_FATAL_FAILURE(StopIn(plan, kUpdate, row.phase, row.done));
        const Files stays = row.between(plan);
        if (stays.count(L"")) {
            printf("%s: left out, as Wine makes no file read-only on this volume\n", row.label);
            continue;
        }
        const Files stopped = Snapshot(dir.Path(), true);
        std::set<std::wstring> readOnly; // what the player made so: it stays so
        for (const auto& file : stays)
            if (WhatIsAt(file.first) == Found::ReadOnlyFile)
                readOnly.insert(file.first);

        StdoutCapture quiet;
        const RecoveryOutcome outcome = RecoverInterruptedUpdate();
        quiet.Finish();
        const std::string logged = Log();
        for (const std::string& line : row.lines)
            EXPECT_NE(logged.find(line), std::string::npos) << line << "\nin\n" << logged;
        EXPECT_EQ(logged.find("waiting"), std::string::npos) << logged;
        Files found = Snapshot(dir.Path(), true);
        found.erase(L"vestrel_logs.txt");
        for (const auto& file : found)
            if (file.first.back() != L'\\' && row.way != Neither) {
                EXPECT_EQ(WhatIsAt(file.first) == Found::ReadOnlyFile, readOnly.count(file.first) == 1)
                    << Narrow(file.first);
            }
        if (row.way == Neither) {
            EXPECT_NE(outcome, RecoveryOutcome::Recovered);
            Files expected = stopped;
            expected.erase(L"vestrel_logs.txt");
            EXPECT_TRUE(SameFiles(found, expected));
            EXPECT_EQ(logged.find("Recovered"), std::string::npos) << logged;
            EXPECT_EQ(logged.find("Can't recover"), logged.rfind("Can't recover")) << logged;
            continue;
        }
        Files expected = row.way == Back ? kOlder : Newer();
        for (const auto& file : stays)
            expected[file.first] = file.second;
        EXPECT_EQ(outcome, row.phase == InstallPhase::Planned ? RecoveryOutcome::NothingToRecover
                                                              : RecoveryOutcome::Recovered);
        EXPECT_TRUE(SameFiles(found, WithFolders(expected))) << logged;
    }
}

// An archive may name one file more than once, in any letter case: it has
// one record, with the last entry's content, so a stopped update settles it
// as any other file. Two entries and what a player did after the stop:
// forward where the last content is in place, neither where what the
// update was to replace is gone or a folder stands there, each named.
TEST(SettleStoppedUpdate, FileNamedTwiceIsSettledAsOneRecord)
{
    enum Way { Forward, Neither };
    const struct {
        const char* label;
        Entries update; // stopped once its first file is moved
        std::function<void(const InstallPlan&)> between;
        Way way;
        std::string line;
    } rows[] = {
        {"the player's own config.ini in place of copy 1 and 2, every kept file deleted",
         {{"x.dat", "new x"}, {"config.ini", "copy 1"}, {"CONFIG.ini", "copy 2"}, {"zz.txt", "z"}},
         [](const InstallPlan& plan) {
             DeleteFileW(Staged(plan, 0, L".old").c_str());
             DeleteFileW(Staged(plan, 1, L".old").c_str());
             WriteFileBytes(L"config.ini", "his own");
         },
         Neither, "Nor can it be finished: [config.ini] is not what the update was to replace."},
        {"data.pak's kept file deleted after its move",
         {{"data.pak", "v0"}, {"x.dat", "new x"}, {"Data.PAK", "v1"}, {"zz.txt", "z"}},
         [](const InstallPlan& plan) { DeleteFileW(Staged(plan, 0, L".old").c_str()); }, Forward,
         kFinished},
        {"data.pak's kept file deleted, and a folder in its place",
         {{"data.pak", "v0"}, {"data.pak", "v1"}, {"x.dat", "new x"}, {"zz.txt", "z"}},
         [](const InstallPlan& plan) {
             DeleteFileW(Staged(plan, 0, L".old").c_str());
             DeleteFileW(L"data.pak");
             CreateDirectoryW(L"data.pak", nullptr);
         },
         Neither, "cannot be undone: [data.pak] is a folder, and the file it replaced is gone."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        ScopedWorkDir dir;
        LogFile log;
        GlobalLogScope logScope(&log);
        WriteFiles(dir.Path(), {{L"x.dat", "old x"}, {L"config.ini", "player config"},
                                {L"data.pak", "original"}});
        InstallPlan plan = PlanFor(row.update);
        ASSERT_EQ(plan.files.size(), 3u) << "one record for the file named twice";
        ASSERT_NO_FATAL_FAILURE(StopIn(plan, row.update, InstallPhase::Moving, 1));
        row.between(plan);
        Files stopped = Snapshot(dir.Path(), true);
        StdoutCapture quiet;
        const RecoveryOutcome outcome = RecoverInterruptedUpdate();
        quiet.Finish();
        EXPECT_NE(Log().find(row.line), std::string::npos) << Log();
        EXPECT_EQ(Log().find("waiting"), std::string::npos) << Log();
        if (row.way == Neither) {
            EXPECT_EQ(outcome, RecoveryOutcome::Stuck);
            Files found = Snapshot(dir.Path(), true);
            stopped[L"vestrel_logs.txt"] = found[L"vestrel_logs.txt"];
            EXPECT_TRUE(SameFiles(found, stopped)) << Log();
            continue;
        }
        EXPECT_EQ(outcome, RecoveryOutcome::Recovered);
        Files expected = {{L"x.dat", "new x"}, {L"config.ini", "player config"}, {L"zz.txt", "z"},
                          {L"data.pak", "v1"}};
        expected[L"vestrel_logs.txt"] = ReadFileBytes(L"vestrel_logs.txt");
        EXPECT_TRUE(SameFiles(Snapshot(dir.Path()), expected)) << Log();
    }
}

// Where the player deleted what a stopped update left, run mode 2 given the
// archive again finishes it from there, if it is the archive the update
// came from and nothing but the missing content stands in the way; given
// another, or where the player's own things stand in the way, it changes
// nothing, and says what stands in the way and how to start anew. Staging
// files whose journal the player deleted are named by the next update that
// writes beside them, and left.
TEST(SettleStoppedUpdate, ArchiveGivenAgainFinishesWhatTheStagingFilesNoLongerCan)
{
    const auto deleteStaging = [](const InstallPlan& plan) {
        for (size_t i = 0; i < plan.files.size(); ++i)
            for (const wchar_t* suffix : {L".old", L".tmp"})
                DeleteFileW(Staged(plan, i, suffix).c_str());
    };
    Entries other = kUpdate, extra = kUpdate, lacking = kUpdate, otherCase = kUpdate;
    other[1].second = "another map";
    extra.push_back({"extra.txt", "x"});
    lacking.pop_back();
    otherCase.insert(otherCase.begin(), {"ZZ.TXT", "an earlier copy"});
    otherCase[1].first = "PATCHER.exe";
    const struct {
        const char* label;
        std::function<void(const InstallPlan&)> between; // once stopped while moving
        Entries archive;
        int result;
        const char* line;
    } rows[] = {
        {"every staging file deleted, the same archive", deleteStaging, kUpdate, 1,
         "Wrote the new content of [zz.txt] again, from the archive."},
        {"every staging file deleted and a folder the update made", [&](const InstallPlan& plan) {
             deleteStaging(plan);
             RemoveDirectoryW(L"added");
         },
         kUpdate, 1, "Wrote the new content of [added\\new.map] again, from the archive."},
        {"the same archive, its names in other case, with an earlier copy", deleteStaging,
         otherCase, 1, "Wrote the new content of [zz.txt] again, from the archive."},
        {"another archive: other content", deleteStaging, other, 7,
         "[maps\\a.map] is not in it with the content that update brought. Deleting "
         "[vestrel_journal.txt] lets a new update start."},
        {"another archive: a file more", deleteStaging, extra, 7,
         "it brings [extra.txt], which that update did not"},
        {"another archive: a file less", deleteStaging, lacking, 7, "[zz.txt] is not in it"},
        {"a folder in place of a replaced file whose kept file is gone", [](const InstallPlan& plan) {
             DeleteFileW(Staged(plan, 0, L".old").c_str());
             DeleteFileW(L"patcher.exe");
             CreateDirectoryW(L"patcher.exe", nullptr);
         },
         kUpdate, 7, "The archive cannot change what stands in the way."},
        {"only the journal deleted", [](const InstallPlan&) { DeleteFileW(kJournalName); }, kUpdate,
         1, "-3.tmp] as it is: it is a staging file of an update whose journal is gone."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        ScopedWorkDir dir;
        LogFile log;
        GlobalLogScope logScope(&log);
        WriteFiles(dir.Path(), kOlder);
        InstallPlan plan = PlanFor(kUpdate);
        ASSERT_NO_FATAL_FAILURE(StopIn(plan, kUpdate, InstallPhase::Moving, 2));
        row.between(plan);
        ZipBuilder zip;
        for (const auto& entry : row.archive)
            zip.File(entry.first, entry.second);
        ASSERT_TRUE(zip.WriteTo(L"update.zip"));
        Files stopped = Snapshot(dir.Path(), true);

        MessageBoxWatcher boxes;
        StdoutCapture quiet;
        ArgVector args({"vestrel.exe", "2", "update.zip", "f-nothing.exe"});
        EXPECT_EQ(RunUpdate(args.Count(), args.Values()), row.result);
        quiet.Finish();
        EXPECT_NE(Log().find(row.line), std::string::npos) << Log();
        Files found = Snapshot(dir.Path(), true);
        found.erase(L"vestrel_logs.txt");
        stopped.erase(L"vestrel_logs.txt");
        if (row.result == 7) {
            EXPECT_EQ(Log().find("Recovered"), std::string::npos) << Log();
            EXPECT_TRUE(SameFiles(found, stopped)) << Log();
            continue;
        }
        Files expected = Newer();
        for (const auto& file : stopped)
            if (file.first.find(L"~vestrel-") != std::wstring::npos)
                expected[file.first] = file.second;
        EXPECT_TRUE(SameFiles(found, WithFolders(expected))) << Log();
    }
}

// Where the volume has no hard links (FAT32, exFAT) a replaced file is kept
// as a copy this program writes; an undo brings it back with its
// attributes and times all the same, as a second name would.
TEST(SettleStoppedUpdate, UndoBringsBackAttributesAndTimes)
{
    ScopedWorkDir dir;
    LogFile log;
    GlobalLogScope logScope(&log);
    WriteFiles(dir.Path(), kOlder);
    SetFileAttributesW(L"patcher.exe", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    {
        UniqueHandle file(CreateFileW(L"patcher.exe", FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        const FILETIME created = {0x8a7ec000, 0x01c07385}, written = {0x2dd6c000, 0x01c1a1be};
        SetFileTime(file.Get(), &created, nullptr, &written);
    }
    WIN32_FILE_ATTRIBUTE_DATA before = {}, after = {};
    ASSERT_TRUE(GetFileAttributesExW(L"patcher.exe", GetFileExInfoStandard, &before));
    if (before.ftLastWriteTime.dwHighDateTime != 0x01c1a1be)
        GTEST_SKIP() << "Wine sets no times on this volume (nor attributes), so no copy can keep them";
    InstallPlan plan = PlanFor(kUpdate);
    ASSERT_NO_FATAL_FAILURE(StopIn(plan, kUpdate, InstallPhase::Moving, 2));
    if (!plan.files[0].keptAsCopy)
        GTEST_SKIP() << "the volume makes hard links: the kept file is a second name, not a copy";
    StdoutCapture quiet;
    EXPECT_EQ(RecoverInterruptedUpdate(), RecoveryOutcome::Recovered);
    quiet.Finish();
    ASSERT_TRUE(GetFileAttributesExW(L"patcher.exe", GetFileExInfoStandard, &after));
    EXPECT_EQ(ReadFileBytes(L"patcher.exe"), "old patcher");
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    EXPECT_EQ(after.dwFileAttributes & kept, before.dwFileAttributes & kept);
    EXPECT_EQ(CompareFileTime(&after.ftLastWriteTime, &before.ftLastWriteTime), 0)
        << after.ftLastWriteTime.dwHighDateTime << " against " << before.ftLastWriteTime.dwHighDateTime;
    EXPECT_EQ(CompareFileTime(&after.ftCreationTime, &before.ftCreationTime), 0)
        << after.ftCreationTime.dwHighDateTime << " against " << before.ftCreationTime.dwHighDateTime;
}

// A folder the undo removed that another program still holds, sharing its
// deletion (an indexer, Explorer), stays listed in its parent until let go:
// the parent is waited for, as for such a file, and goes too.
TEST(SettleStoppedUpdate, FolderHeldAfterItsRemovalIsWaitedFor)
{
    ScopedWorkDir dir;
    LogFile log;
    GlobalLogScope logScope(&log);
    const Entries update = {{"new/deeper/x.dat", "x"}};
    InstallPlan plan = PlanFor(update);
    ASSERT_NO_FATAL_FAILURE(StopIn(plan, update, InstallPhase::Staging, 1));
    UniqueHandle held(CreateFileW(L"new\\deeper", GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(held.IsValid());
    StdoutCapture quiet;
    // A start that may not wait leaves it to the next, as for a held file.
    EXPECT_EQ(RecoverInterruptedUpdate(false), RecoveryOutcome::NotRecovered) << Log();
    held.Close();
    EXPECT_EQ(RecoverInterruptedUpdate(), RecoveryOutcome::Recovered) << Log();
    quiet.Finish();
    EXPECT_EQ(Log().find("Left ["), std::string::npos) << Log();
    EXPECT_FALSE(DirectoryExists(L"new")) << Log();
}

// Patches often bring files that are as the install has them. An undo that
// stops after it has put such a file back (here at a held kept file) leaves
// it with the update's content and no kept file, as a kept file deleted
// would; the next start still tells that it is put back, and ends the undo
// instead of finishing the update or standing still.
TEST(SettleStoppedUpdate, UnchangedFilePutBackByAStoppedUndoIsUndoneToTheEnd)
{
    ScopedWorkDir dir;
    LogFile log;
    GlobalLogScope logScope(&log);
    WriteFiles(dir.Path(), {{L"c.dat", "old c"}, {L"b.dat", "old b"}, {L"a.dat", "a.dat"}});
    const Entries update = {{"c.dat", "c.dat"}, {"b.dat", "b.dat"}, {"a.dat", "a.dat"}};
    InstallPlan plan = PlanFor(update);
    ASSERT_NO_FATAL_FAILURE(StopIn(plan, update, InstallPhase::Moving, 3));
    UniqueHandle held(CreateFileW(Staged(plan, 0, L".old").c_str(), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    StdoutCapture quiet;
    EXPECT_EQ(RecoverInterruptedUpdate(false), RecoveryOutcome::NotRecovered);
    held.Close();
    EXPECT_EQ(RecoverInterruptedUpdate(), RecoveryOutcome::Recovered);
    quiet.Finish();
    EXPECT_EQ(Log().find("cannot be undone"), std::string::npos) << Log();
    EXPECT_EQ(ReadFileBytes(L"c.dat") + ReadFileBytes(L"b.dat"), "old cold b") << Log();
    EXPECT_FALSE(FileExists(kJournalName));
}

// A file still held after the wait leaves the rest of the pass to try once
// and go on, without waiting again: a holder that does not let go costs
// one wait, not one for every file it holds.
TEST(SettleStoppedUpdate, FilesHeldPastTheWaitCostOneWait)
{
    ScopedWorkDir dir;
    LogFile log;
    GlobalLogScope logScope(&log);
    const Entries update = {{"v.dat", "x"}, {"w.dat", "x"}, {"x.dat", "x"}, {"y.dat", "x"}, {"z.dat", "x"}};
    InstallPlan plan = PlanFor(update);
    ASSERT_NO_FATAL_FAILURE(StopIn(plan, update, InstallPhase::Keeping, 0));
    std::vector<UniqueHandle> held;
    for (size_t i = 0; i < plan.files.size(); ++i)
        held.emplace_back(CreateFileW(Staged(plan, i, L".tmp").c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    StdoutCapture quiet;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SettleUpdate(plan, JournalPhase::Staging, Patience::InUse), SettleOutcome::Blocked);
    const auto took = std::chrono::steady_clock::now() - start;
    quiet.Finish();
    EXPECT_LT(took, std::chrono::seconds(6)) << "a wait of 2 seconds for each of five files";
}

// Once every file is in place, a "moved" that cannot be recorded (here the
// journal's handle refuses to write) undoes nothing: the new install is
// whole, and its kept files and journal wait for the next start (which
// settles it as a stop there: see the table above). A start that must not
// wait (run mode 1) leaves a journal held by a running update alone at once.
TEST(SettleStoppedUpdate, MovedThatCannotBeRecordedIsNeverUndoneByThatRun)
{
    ScopedWorkDir dir;
    LogFile log;
    GlobalLogScope logScope(&log);
    WriteFiles(dir.Path(), {{L"game.dat", "old game"}, {L"patcher.exe", "old patcher"}});
    const Entries update = {{"game.dat", "new game"}, {"patcher.exe", "new patcher"}, {"new.dat", "new"}};
    InstallPlan plan = PlanFor(update);
    const ContentSource source = MemoryContent(update);
    Transaction transaction(plan, source);
    ASSERT_NO_FATAL_FAILURE(StepUntil(transaction, InstallPhase::Moving, 3));
    transaction.journal.Close();
    transaction.journal = UniqueHandle(CreateFileW(kJournalName, GENERIC_READ | DELETE, 0, nullptr,
                                                   OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(transaction.journal.IsValid());

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RecoverInterruptedUpdate(false), RecoveryOutcome::StillRunning);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1))
        << "the retries for a held journal alone take two seconds";

    EXPECT_FALSE(Step(transaction));
    const InstallResult result = GiveUp(transaction);
    EXPECT_FALSE(result.done);
    EXPECT_EQ(result.unwritable, "vestrel_journal.txt");
    const Files newer = {{L"game.dat", "new game"}, {L"patcher.exe", "new patcher"}, {L"new.dat", "new"}};
    for (const auto& file : newer)
        EXPECT_EQ(ReadFileBytes(file.first), file.second);
    EXPECT_TRUE(FileExists(kJournalName));
    EXPECT_TRUE(FileExists(Staged(plan, 0, L".old")));
}

// A file the plan found writable but that is made read-only before it is
// kept is not replaced: its kept copy could never be removed again. The
// update fails, and what it had done is put back.
TEST(SettleStoppedUpdate, TargetMadeReadOnlyBeforeItIsKeptFailsTheUpdateWhole)
{
    ScopedWorkDir dir;
    LogFile log;
    GlobalLogScope logScope(&log);
    WriteFiles(dir.Path(), {{L"b.dat", "old b"}, {L"a.dat", "old a"}});
    if (!MadeReadOnly(L"a.dat"))
        GTEST_SKIP() << "Wine makes no file read-only on this volume";
    SetFileAttributesW(L"a.dat", FILE_ATTRIBUTE_NORMAL);
    const Entries update = {{"b.dat", "b.dat"}, {"a.dat", "a.dat"}};
    InstallPlan plan = PlanFor(update);
    ContentSource source = MemoryContent(update);
    source.close = [](bool allRead) { return !allRead || MadeReadOnly(L"a.dat"); };
    StdoutCapture quiet;
    EXPECT_FALSE(RunInstall(plan, source).done);
    quiet.Finish();
    EXPECT_NE(Log().find("Can't replace [a.dat]: the file is read-only."), std::string::npos) << Log();
    SetFileAttributesW(L"a.dat", FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(SameFiles(Snapshot(dir.Path()), {{L"a.dat", "old a"}, {L"b.dat", "old b"},
                                                 {L"vestrel_logs.txt", ReadFileBytes(L"vestrel_logs.txt")}}));
}
