// Things going wrong on purpose. Each case checks one promise: either the
// whole job is done, or every file the player had is byte for byte as
// before, no temporary file is left, the archive is kept, and the log says
// what happened.
#include <windows.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "archive/extract_archive.h"
#include "install/durable_flush.h"
#include "diag/log_file.h"
#include "install/file_identity.h"
#include "install/install_name.h"
#include "install/install_plan.h"
#include "install/journal.h"
#include "install/recovery.h"
#include "install/settle_update.h"
#include "install/staged_update.h"
#include "tests/support/programs.h"
#include "tests/support/test_support.h"
#include "tests/support/vestrel_driver.h"
#include "tests/support/zip_writer.h"

namespace {

using Files = std::map<std::wstring, std::string>;

// Every file below dir with its bytes.
Files Snapshot(const std::wstring& dir)
{
    Files files;
    for (const std::wstring& name : ListFilesBelow(dir))
        files[name] = ReadFileBytes(dir + L"\\" + name);
    return files;
}

// Snapshot, and every folder below dir as its name with a final '\'.
Files Tree(const std::wstring& dir)
{
    Files tree = Snapshot(dir);
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_directory(ec))
            tree[std::filesystem::relative(it->path(), dir, ec).native() + L"\\"] = "folder";
    return tree;
}

std::uint32_t Crc(const std::string& bytes)
{
    return static_cast<std::uint32_t>(crc32(crc32(0L, Z_NULL, 0),
                                            reinterpret_cast<const Bytef*>(bytes.data()),
                                            static_cast<uInt>(bytes.size())));
}

std::string Hex(std::uint64_t value, int digits)
{
    char text[24] = {};
    snprintf(text, sizeof text, "%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

void WriteFiles(const std::wstring& dir, const Files& files)
{
    for (const auto& file : files) {
        const std::wstring path = dir + L"\\" + file.first;
        const size_t separator = path.find_last_of(L'\\');
        for (size_t at = dir.size() + 1; at < separator; ++at)
            if (path[at] == L'\\')
                CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
        CreateDirectoryW(path.substr(0, separator).c_str(), nullptr);
        WriteFileBytes(path, file.second);
    }
}

bool HasTemporaryFiles(const std::wstring& dir)
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

// The entries an intact archive holds (as libzip reads the bytes given):
// name to data, directories left out. Empty when libzip cannot read it all.
bool ReadArchive(const std::string& zip, Files& entries)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(zip.data(), zip.size(), 0, &error);
    zip_t* archive = source ? zip_open_from_source(source, 0, &error) : nullptr;
    zip_error_fini(&error);
    if (!archive) {
        if (source)
            zip_source_free(source);
        return false;
    }
    bool ok = true;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; ok && i < count; ++i) {
        zip_stat_t stat;
        if (zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &stat) != 0)
            continue;
        const std::string name = stat.name;
        if (!name.empty() && name.back() == '/')
            continue;
        zip_file_t* file = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
        if (!file) {
            ok = false;
            break;
        }
        std::string data;
        char buffer[4096];
        zip_int64_t n;
        while ((n = zip_fread(file, buffer, sizeof buffer)) > 0)
            data.append(buffer, static_cast<size_t>(n));
        ok = n == 0 && data.size() == stat.size;
        zip_fclose(file);
        std::wstring wide = Widen(name);
        for (wchar_t& c : wide)
            if (c == L'/')
                c = L'\\';
        entries[wide] = data;
    }
    zip_discard(archive);
    return ok;
}

// A damaged copy: flipped bytes, a cut, inserted bytes, or a changed
// method, size or CRC-32 field in a local or central header.
std::string Damage(const std::string& zip, std::mt19937& random)
{
    std::string damaged = zip;
    auto at = [&](size_t limit) { return static_cast<size_t>(random() % limit); };
    std::vector<size_t> headers;
    for (size_t pos = damaged.find("PK"); pos != std::string::npos; pos = damaged.find("PK", pos + 2))
        if (pos + 4 <= damaged.size() && (damaged[pos + 2] == 1 || damaged[pos + 2] == 3))
            headers.push_back(pos);
    switch (random() % 6) {
    case 0:
        for (size_t n = 1 + at(4); n > 0; --n)
            damaged[at(damaged.size())] ^= static_cast<char>(1 + at(255));
        break;
    case 1:
        damaged.resize(at(damaged.size()));
        break;
    case 2:
        damaged.insert(at(damaged.size()), TextBytes(1 + at(16), static_cast<unsigned>(random())));
        break;
    default: {
        if (headers.empty())
            break;
        const size_t header = headers[at(headers.size())];
        const bool central = damaged[header + 2] == 1;
        // Offsets of method, CRC-32, compressed and uncompressed size.
        const size_t fields[] = {central ? 10u : 8u, central ? 16u : 14u, central ? 20u : 18u,
                                 central ? 24u : 22u};
        const size_t field = header + fields[at(4)];
        if (field + 2 <= damaged.size()) {
            const unsigned values[] = {0, 8, 12, 14, 99, static_cast<unsigned>(random())};
            const unsigned value = values[at(6)] + (random() % 2 ? 0 : at(300));
            damaged[field] = static_cast<char>(value & 0xFF);
            damaged[field + 1] = static_cast<char>((value >> 8) & 0xFF);
        }
    }
    }
    return damaged;
}

// Extracts on a thread of its own (which answers any box), so that a case
// that hangs fails the test instead of stopping it.
bool ExtractWithin(const char* archive, std::chrono::seconds limit, bool& finished)
{
    std::packaged_task<bool()> task([archive] {
        MessageBoxWatcher boxes;
        return ExtractArchive(archive);
    });
    std::future<bool> result = task.get_future();
    std::thread(std::move(task)).detach();
    finished = result.wait_for(limit) == std::future_status::ready;
    return finished && result.get();
}

// Makes the file read-only; false where Wine cannot (the FUSE volumes).
bool MadeReadOnly(const wchar_t* path)
{
    SetFileAttributesW(path, FILE_ATTRIBUTE_READONLY);
    return (GetFileAttributesW(path) & FILE_ATTRIBUTE_READONLY) != 0;
}

const Files kOlderInstall = {
    {L"patcher.exe", "older patcher"},
    {L"maps\\first.map", "older first map"},
    {L"maps\\big.map", "older big map"},
    {L"readme.txt", "older readme, which the update does not touch"},
};

} // namespace

TEST(DamagedArchive, NeitherCrashesNorHangsNorLeavesAHalfInstall)
{
    ScopedWorkDir dir;
    LogFile log;
    GlobalLogScope logScope(&log);
    const std::wstring install = dir.Path() + L"\\install";
    std::mt19937 random(20261208);

    const struct {
        zip_int32_t method;
        const char* label;
    } methods[] = {{ZIP_CM_STORE, "stored"}, {ZIP_CM_DEFLATE, "deflate"}, {ZIP_CM_BZIP2, "bzip2"},
                   {ZIP_CM_XZ, "xz"}};
    int succeeded = 0, refused = 0;
    for (const auto& method : methods) {
        ZipBuilder builder;
        builder.Directory("maps/")
            .File("patcher.exe", TextBytes(3000, 1), method.method)
            .File("maps/first.map", TextBytes(250, 2), method.method)
            .File("maps/big.map", TextBytes(70000, 3), method.method)
            .File("maps/empty.map", "", method.method)
            .File("maps/hundred.map", TextBytes(100, 4), method.method);
        ASSERT_TRUE(builder.WriteTo(dir.Path() + L"\\original.zip"));
        const std::string original = ReadFileBytes(dir.Path() + L"\\original.zip");
        DeleteFileW((dir.Path() + L"\\original.zip").c_str());

        for (int n = 0; n < 500; ++n) {
            const std::string damaged = Damage(original, random);
            SCOPED_TRACE(std::string(method.label) + " case " + std::to_string(n));
            Files entries;
            const bool readable = ReadArchive(damaged, entries);

            std::error_code ignored;
            std::filesystem::remove_all(install, ignored);
            CreateDirectoryW(install.c_str(), nullptr);
            WriteFiles(install, kOlderInstall);
            WriteFileBytes(dir.Path() + L"\\case.zip", damaged);

            SetCurrentDirectoryW(install.c_str());
            bool finished = false;
            const bool result = ExtractWithin("..\\case.zip", std::chrono::seconds(30), finished);
            SetCurrentDirectoryW(dir.Path().c_str());
            ASSERT_TRUE(finished) << "the extraction hangs";

            EXPECT_EQ(ListFilesBelow(dir.Path()).size(),
                      ListFilesBelow(install).size() + (result ? 1u : 2u))
                << "only the install, the log and (when kept) the archive";
            EXPECT_FALSE(HasTemporaryFiles(install));
            if (result) {
                ++succeeded;
                EXPECT_TRUE(readable) << "extracted an archive that does not read back";
                Files expected = kOlderInstall;
                for (const auto& entry : entries)
                    expected[entry.first] = entry.second;
                EXPECT_TRUE(Snapshot(install) == expected) << "entries not exactly right";
                EXPECT_FALSE(FileExists(dir.Path() + L"\\case.zip"));
            } else {
                ++refused;
                EXPECT_TRUE(Snapshot(install) == kOlderInstall) << "older files not intact";
                EXPECT_EQ(ReadFileBytes(dir.Path() + L"\\case.zip"), damaged);
            }
            if (HasFailure())
                return;
        }
    }
    printf("damaged archives: %d unpacked whole, %d refused\n", succeeded, refused);
    EXPECT_GT(refused, 500) << "the damage should mostly be caught";
}

namespace {

// A journal as a hand might write one, with a right checksum: only what it
// names, and what is on disk, decide what recovery does with it.
std::string HandMadeJournal(const std::vector<std::string>& records, const std::string& afterPlan)
{
    std::string text = "vestrel journal 2\ntoken\t7-0000abcd\n";
    for (const std::string& record : records)
        text += record + "\n";
    return text + "end\t" + Hex(Crc(text), 8) + "\n" + afterPlan;
}

// The record of the folders an update made, with its checksum.
std::string MadeRecord(const std::vector<std::string>& ids)
{
    std::string text = "made";
    for (const std::string& id : ids)
        text += "\t" + id;
    return text + "\t" + Hex(Crc(text), 8) + "\n";
}

// What a journal records of the file at path as it is now: its stamp.
std::string StampOf(const std::wstring& path)
{
    FileStamp stamp;
    WhatIsAt(path, &stamp);
    return std::to_string(stamp.size) + ":" + Hex(stamp.lastWrite, 16);
}

} // namespace

// A journal is input: cut anywhere, or naming what its update could not
// have made, it never leads recovery outside the folder or to a file that
// is not its own. The real journal is the one the program writes for an
// update of this install; a cut that still reads whole is recovered, one
// that does not is left alone. A journal whose names are all fine but
// whose files and folders are the player's, not the update's, is recovered
// without changing any of them, in every phase; one that names what the
// update did make is acted on.
TEST(DamagedJournal, TouchesNothingOutsideTheFolderNorAnythingNotItsOwn)
{
    ScopedWorkDir dir;
    LogFile log;
    GlobalLogScope logScope(&log);
    const std::wstring install = dir.Path() + L"\\install";
    const std::wstring journal = install + L"\\vestrel_journal.txt";
    WriteFiles(dir.Path(), {{L"outside.txt", "beside the game's folder"}});
    WriteFiles(install, {{L"patcher.exe", "old patcher"},
                         {L"maps\\a.map", "old map"},
                         {L"readme.txt", "not in the update"},
                         {L"settings.ini", "player's settings"},
                         {L"saves\\slot1.sav", "player's game"},
                         {L"~vestrel-7-0000abcd-0.old", "planted beside the patcher"},
                         {L"maps\\~vestrel-1-00000000-0.tmp", "another update's"}});
    CreateDirectoryW((install + L"\\empty").c_str(), nullptr);
    ASSERT_TRUE(SetCurrentDirectoryW(install.c_str()));
    // A read-only file of the player's stays so, whatever a journal says.
    const bool settingsReadOnly = MadeReadOnly(L"settings.ini");

    InstallPlan plan;
    ASSERT_TRUE(StartPlan(plan));
    ASSERT_EQ(PlanFile(plan, L"patcher.exe", "patcher.exe", 0, 11, 1), PlanOutcome::Planned);
    ASSERT_EQ(PlanFile(plan, L"maps\\a.map", "maps/a.map", 1, 7, 2), PlanOutcome::Planned);
    ASSERT_EQ(PlanFile(plan, L"maps\\new\\b.map", "maps/new/b.map", 2, 5, 3), PlanOutcome::Planned);
    {
        UniqueHandle written;
        ASSERT_EQ(BeginJournal(plan, written), JournalStart::Begun);
        ASSERT_TRUE(RecordMadeFolders(written.Get(), plan));
        ASSERT_TRUE(RecordPhase(written.Get(), plan, JournalPhase::Moving));
        ASSERT_TRUE(RecordPhase(written.Get(), plan, JournalPhase::Moved));
    }
    const std::string real = ReadFileBytes(journal);
    DeleteFileW(journal.c_str());
    const Files before = Tree(dir.Path());

    auto recoverFrom = [&](const std::string& bytes) {
        WriteFileBytes(journal, bytes);
        StdoutCapture quiet;
        const RecoveryOutcome outcome = RecoverInterruptedUpdate();
        quiet.Finish();
        Files after = Tree(dir.Path());
        after.erase(L"install\\vestrel_journal.txt");
        after.erase(L"vestrel_logs.txt");
        Files expected = before;
        expected.erase(L"vestrel_logs.txt");
        EXPECT_TRUE(after == expected) << "recovery touched a file or folder";
        const bool leftAlone = FileExists(journal);
        if (leftAlone) {
            EXPECT_EQ(outcome, RecoveryOutcome::NotRecovered);
            EXPECT_TRUE(ReadFileBytes(journal) == bytes) << "a journal left alone was changed";
        } else {
            EXPECT_EQ(outcome, RecoveryOutcome::Recovered);
        }
        DeleteFileW(journal.c_str());
        return leftAlone;
    };

    int leftAlone = 0;
    for (size_t cut = 0; cut <= real.size() && !::testing::Test::HasFailure(); ++cut) {
        SCOPED_TRACE("cut after " + std::to_string(cut) + " of " + std::to_string(real.size()) +
                     " bytes");
        leftAlone += recoverFrom(real.substr(0, cut));
    }
    printf("cuts of a journal of %zu bytes: %d left alone\n", real.size(), leftAlone);

    const std::string outside = Narrow(dir.Path()) + "\\outside.txt";
    const std::string none = "\t0\t00000000\t";
    const struct {
        const char* label;
        std::vector<std::string> records;
    } refused[] = {
        {"a target outside the folder", {"file\t..\\outside.txt\t..\\~vestrel-7-0000abcd-0.tmp\t" + none}},
        {"a target inside a folder's parent", {"file\tmaps\\..\\..\\outside.txt\tmaps\\..\\..\\~vestrel-7-0000abcd-0.tmp\t" + none}},
        {"an absolute target", {"file\t" + outside + "\t~vestrel-7-0000abcd-0.tmp\t" + none}},
        {"a rooted target", {"file\t\\outside.txt\t\\~vestrel-7-0000abcd-0.tmp\t" + none}},
        {"a temporary file it did not make", {"file\tmaps\\new.map\treadme.txt\t" + none}},
        {"a kept file it did not make", {"file\tpatcher.exe\t~vestrel-7-0000abcd-0.tmp\treadme.txt\t0\t00000000\t11:0000000000000000"}},
        {"another update's staging file", {"file\tmaps\\a.map\tmaps\\~vestrel-1-00000000-0.tmp\t" + none}},
        {"a folder outside", {"dir\t..", "dir\t..\\install"}},
        {"a kept file of an entry that is not there", {"file\tpatcher.exe\t~vestrel-7-0000abcd-0.tmp\t~vestrel-7-0000abcd-0.old\t0\t00000000\t=0"}},
    };
    for (const auto& journalCase : refused) {
        SCOPED_TRACE(journalCase.label);
        for (const char* phase : {"", "moving\n", "moving\nmoved\n"})
            EXPECT_TRUE(recoverFrom(HandMadeJournal(journalCase.records, phase)));
    }

    // Names the update could have used, on files and folders it did not
    // make: each is recovered, and nothing on disk changes.
    const std::string patcher = "old patcher", settings = "player's settings";
    const std::string planted = StampOf(L"~vestrel-7-0000abcd-0.old");
    const std::string plantedElsewhen = planted.substr(0, planted.find(':')) + ":01d0000000000000";
    const std::string patcherAsNew =
        "file\tpatcher.exe\t~vestrel-7-0000abcd-0.tmp\t~vestrel-7-0000abcd-0.old\t" +
        std::to_string(patcher.size()) + "\t" + Hex(Crc(patcher), 8) + "\t";
    const std::string otherId = "00000000-0000000000000001";
    const struct {
        const char* label;
        std::vector<std::string> records;
        std::string made;
        std::vector<const char*> phases;
    } notItsOwn[] = {
        {"a new file of the size of the player's, with other content",
         {"file\tsettings.ini\t~vestrel-7-0000abcd-0.tmp\t\t" + std::to_string(settings.size()) +
          "\t" + Hex(Crc(settings) ^ 1, 8) + "\t"},
         "", {"", "moving\n", "moving\nmoved\n"}},
        {"a kept file planted beside the patcher", {patcherAsNew + plantedElsewhen}, "",
         {"", "moving\n", "moving\nmoved\n"}},
        {"a kept file whose target is not what the update wrote",
         {"file\tpatcher.exe\t~vestrel-7-0000abcd-0.tmp\t~vestrel-7-0000abcd-0.old\t" +
          std::to_string(patcher.size()) + "\t" + Hex(Crc(patcher) ^ 1, 8) + "\t" + planted},
         "", {"moving\n"}},
        {"folders it did not make, one empty and one with a player's file",
         {"dir\tempty", "dir\tsaves"}, MadeRecord({otherId, otherId}),
         {"", "moving\n", "moving\nmoved\n"}},
        {"folders it never recorded as made", {"dir\tempty", "dir\tsaves"}, "",
         {"", "moving\n", "moving\nmoved\n"}},
    };
    for (const auto& journalCase : notItsOwn) {
        for (const char* phase : journalCase.phases) {
            SCOPED_TRACE(std::string(journalCase.label) + ", phase [" + phase + "]");
            EXPECT_FALSE(recoverFrom(HandMadeJournal(journalCase.records, journalCase.made + phase)));
        }
    }
    EXPECT_FALSE(recoverFrom(HandMadeJournal({"file\tmaps\\new.map\tmaps\\~vestrel-7-0000abcd-0.tmp\t" + none},
                                             "moving\n")))
        << "a journal of its own names is recovered";

    // What is the update's, by every mark, is acted on: the new file goes,
    // the kept file is put back, and the folder the update made is removed.
    WriteFileBytes(L"fresh.map", "new map");
    const std::string freshAsNew = "file\tfresh.map\t~vestrel-7-0000abcd-1.tmp\t\t7\t" + Hex(Crc("new map"), 8) + "\t";
    WriteFileBytes(journal, HandMadeJournal({"dir\tempty", patcherAsNew + planted, freshAsNew},
                                            MadeRecord({FolderId(install + L"\\empty")}) + "moving\n"));
    StdoutCapture quiet;
    EXPECT_EQ(RecoverInterruptedUpdate(), RecoveryOutcome::Recovered);
    quiet.Finish();
    EXPECT_FALSE(FileExists(L"fresh.map"));
    EXPECT_FALSE(DirectoryExists(L"empty"));
    EXPECT_EQ(ReadFileBytes(L"patcher.exe"), "planted beside the patcher");
    EXPECT_FALSE(FileExists(L"~vestrel-7-0000abcd-0.old"));
    EXPECT_EQ(WhatIsAt(L"settings.ini") == Found::ReadOnlyFile, settingsReadOnly);
    SetCurrentDirectoryW(dir.Path().c_str());
}

namespace {

// An update stopped after its moves: each file's new content is its entry
// name, staged and put in place under a journal that reads "moving".
// beforeMoves runs once the new content is written; false when the moves
// failed.
bool StageAndMove(InstallPlan& plan, const std::vector<std::pair<std::wstring, std::string>>& files,
                  const std::function<void()>& beforeMoves = nullptr)
{
    EXPECT_TRUE(StartPlan(plan));
    for (const auto& file : files)
        EXPECT_EQ(PlanFile(plan, file.first, file.second, plan.files.size(), file.second.size(),
                           Crc(file.second)),
                  PlanOutcome::Planned);
    UniqueHandle journal;
    EXPECT_EQ(BeginJournal(plan, journal), JournalStart::Begun);
    for (const PlannedFile& file : plan.files) {
        UniqueHandle temp = CreateTempFile(plan, file);
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(temp.Get(), file.name.data(), static_cast<DWORD>(file.name.size()),
                              &written, nullptr));
    }
    if (beforeMoves)
        beforeMoves();
    std::string failed;
    if (!KeepReplacedFiles(plan, failed))
        return false;
    EXPECT_TRUE(RecordPhase(journal.Get(), plan, JournalPhase::Moving));
    return MoveIntoPlace(plan, failed);
}

} // namespace

// Two entries may name one file in other letter case; the later one's kept
// file then holds the earlier one's new content. An undo that meets a held
// file stops there, so that a later start still puts the two back newest
// first and the old content is what remains. A journal that cannot be
// deleted afterwards is a failure too, and the next start deletes it.
TEST(StoppedUpdate, TwoEntriesForOneFileAreUndoneNewestFirstAcrossAHeldFile)
{
    ScopedWorkDir dir;
    LogFile log;
    GlobalLogScope logScope(&log);
    WriteFileBytes(L"data.pak", "old content");

    InstallPlan plan;
    ASSERT_TRUE(StageAndMove(plan, {{L"Data.pak", "Data.pak"}, {L"data.pak", "data.pak"}}));
    ASSERT_FALSE(plan.files[1].kept.empty());
    ASSERT_EQ(ReadFileBytes(L"data.pak"), "data.pak");

    HANDLE held = CreateFileW((L"~vestrel-" + plan.token + L"-1.old").c_str(), GENERIC_READ, 0,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    StdoutCapture quiet;
    EXPECT_EQ(RecoverInterruptedUpdate(false), RecoveryOutcome::NotRecovered);
    CloseHandle(held);

    // A read-only journal cannot be deleted; Wine makes no file read-only
    // on the FUSE volumes, so there the recovery simply ends.
    if (MadeReadOnly(L"vestrel_journal.txt")) {
        EXPECT_EQ(RecoverInterruptedUpdate(false), RecoveryOutcome::NotRecovered);
        EXPECT_EQ(ReadFileBytes(L"data.pak"), "old content");
        std::string logged = ReadFileBytes(L"vestrel_logs.txt");
        EXPECT_NE(logged.find("Can't delete [vestrel_journal.txt]."), std::string::npos) << logged;
        EXPECT_EQ(logged.find("Recovered"), std::string::npos) << logged;
        SetFileAttributesW(L"vestrel_journal.txt", FILE_ATTRIBUTE_NORMAL);
    }
    EXPECT_EQ(RecoverInterruptedUpdate(), RecoveryOutcome::Recovered);
    quiet.Finish();
    EXPECT_EQ(ReadFileBytes(L"data.pak"), "old content");
    // The name's letter case is the one the first entry gave where the file
    // system keeps the case of the name a file is moved to (FAT, exFAT,
    // NTFS); Wine's own folders keep the file's.
    std::vector<std::wstring> names = ListFilesBelow(dir.Path());
    for (std::wstring& name : names)
        name = FoldedName(name);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"DATA.PAK", L"VESTREL_LOGS.TXT"}));
}

// Patches often bring files that are as the install has them. An undo that
// stops after it has put such a file back (a held file, a journal that
// cannot be deleted) leaves it with the update's content and no kept file,
// as a kept file deleted would; the next start still tells that it is put
// back, and ends the undo instead of finishing the update or standing still.
TEST(StoppedUpdate, UnchangedFilePutBackByAStoppedUndoIsUndoneToTheEnd)
{
    for (const bool heldKept : {true, false}) {
        SCOPED_TRACE(heldKept ? "a held kept file" : "a journal that cannot be deleted");
        ScopedWorkDir dir;
        LogFile log;
        GlobalLogScope logScope(&log);
        WriteFileBytes(L"c.dat", "old c");
        WriteFileBytes(L"b.dat", "old b");
        WriteFileBytes(L"a.dat", "a.dat"); // what the update brings for it
        InstallPlan plan;
        ASSERT_TRUE(StageAndMove(plan, {{L"c.dat", "c.dat"}, {L"b.dat", "b.dat"}, {L"a.dat", "a.dat"}}));
        UniqueHandle held;
        if (heldKept)
            held = UniqueHandle(CreateFileW(FullPath(plan, plan.files[0].kept).c_str(), GENERIC_READ,
                                            0, nullptr, OPEN_EXISTING, 0, nullptr));
        else if (!MadeReadOnly(L"vestrel_journal.txt"))
            continue; // Wine makes no file read-only on this volume
        StdoutCapture quiet;
        EXPECT_EQ(RecoverInterruptedUpdate(false), RecoveryOutcome::NotRecovered);
        held.Close();
        SetFileAttributesW(L"vestrel_journal.txt", FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(RecoverInterruptedUpdate(), RecoveryOutcome::Recovered);
        quiet.Finish();
        const std::string logged = ReadFileBytes(L"vestrel_logs.txt");
        EXPECT_EQ(logged.find("cannot be undone"), std::string::npos) << logged;
        EXPECT_EQ(ReadFileBytes(L"c.dat") + ReadFileBytes(L"b.dat"), "old cold b") << logged;
        EXPECT_FALSE(FileExists(L"vestrel_journal.txt"));
    }
}

// A file still held after the wait leaves the rest of the pass to try once
// and go on, without waiting again: a holder that does not let go costs
// one wait, not one for every file it holds.
TEST(StoppedUpdate, FilesHeldPastTheWaitCostOneWait)
{
    ScopedWorkDir dir;
    LogFile log;
    GlobalLogScope logScope(&log);
    InstallPlan plan;
    ASSERT_TRUE(StartPlan(plan));
    for (const wchar_t* name : {L"v.dat", L"w.dat", L"x.dat", L"y.dat", L"z.dat"})
        ASSERT_EQ(PlanFile(plan, name, Narrow(name), plan.files.size(), 1, Crc("x")),
                  PlanOutcome::Planned);
    UniqueHandle journal;
    ASSERT_EQ(BeginJournal(plan, journal), JournalStart::Begun);
    std::vector<UniqueHandle> held;
    for (const PlannedFile& file : plan.files) {
        CreateTempFile(plan, file);
        held.emplace_back(CreateFileW(FullPath(plan, file.temp).c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    }
    StdoutCapture quiet;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SettleUpdate(plan, JournalPhase::Staging, Patience::InUse), SettleOutcome::Blocked);
    const auto took = std::chrono::steady_clock::now() - start;
    quiet.Finish();
    EXPECT_LT(took, std::chrono::seconds(6)) << "a wait of 2 seconds for each of five files";
}

// Once every file is in place, a "moved" that cannot be recorded (here the
// journal's handle refuses to write) undoes nothing: the new install is
// whole, its kept files and journal wait, and the next start settles it to
// the old install, whole as well. A start that must not wait (run mode 1)
// leaves a journal held by a running update alone at once.
TEST(StoppedUpdate, MovedThatCannotBeRecordedIsNeverUndoneByThatRun)
{
    ScopedWorkDir dir;
    LogFile log;
    GlobalLogScope logScope(&log);
    WriteFileBytes(L"game.dat", "old game");
    WriteFileBytes(L"patcher.exe", "old patcher");

    InstallPlan plan;
    ASSERT_TRUE(StageAndMove(plan, {{L"game.dat", "game.dat"}, {L"patcher.exe", "patcher.exe"},
                                    {L"new.dat", "new.dat"}}));
    UniqueHandle refusing(CreateFileW(L"vestrel_journal.txt", GENERIC_READ | DELETE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(refusing.IsValid());

    StdoutCapture quiet;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RecoverInterruptedUpdate(false), RecoveryOutcome::StillRunning);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1))
        << "the retries for a held journal alone take two seconds";

    EXPECT_FALSE(CompleteUpdate(plan, refusing));
    EXPECT_EQ(ReadFileBytes(L"game.dat"), "game.dat");
    EXPECT_EQ(ReadFileBytes(L"patcher.exe"), "patcher.exe");
    EXPECT_EQ(ReadFileBytes(L"new.dat"), "new.dat");
    EXPECT_TRUE(FileExists(L"vestrel_journal.txt"));
    EXPECT_TRUE(FileExists(FullPath(plan, plan.files[0].kept)));

    EXPECT_EQ(RecoverInterruptedUpdate(), RecoveryOutcome::Recovered);
    quiet.Finish();
    EXPECT_EQ(ReadFileBytes(L"game.dat"), "old game");
    EXPECT_EQ(ReadFileBytes(L"patcher.exe"), "old patcher");
    EXPECT_EQ(ListFilesBelow(dir.Path()),
              (std::vector<std::wstring>{L"game.dat", L"patcher.exe", L"vestrel_logs.txt"}));
}

// A file the plan found writable but that is made read-only before its move
// is not replaced: its kept copy could never be removed again. The update
// fails, and what it had moved is put back.
TEST(StoppedUpdate, TargetMadeReadOnlyBeforeItsMoveFailsTheUpdateWhole)
{
    ScopedWorkDir dir;
    LogFile log;
    GlobalLogScope logScope(&log);
    WriteFileBytes(L"b.dat", "old b");
    WriteFileBytes(L"a.dat", "old a");

    if (!MadeReadOnly(L"a.dat"))
        GTEST_SKIP() << "Wine makes no file read-only on this volume";
    SetFileAttributesW(L"a.dat", FILE_ATTRIBUTE_NORMAL);
    InstallPlan plan;
    StdoutCapture quiet;
    EXPECT_FALSE(StageAndMove(plan, {{L"b.dat", "b.dat"}, {L"a.dat", "a.dat"}},
                              [] { SetFileAttributesW(L"a.dat", FILE_ATTRIBUTE_READONLY); }));
    UniqueHandle journal(CreateFileW(L"vestrel_journal.txt", GENERIC_READ | DELETE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
    SettleAndCloseJournal(plan, JournalPhase::Moving, journal);
    quiet.Finish();
    const std::string logged = ReadFileBytes(L"vestrel_logs.txt");
    EXPECT_NE(logged.find("Can't replace [a.dat]: the file is read-only."), std::string::npos) << logged;
    EXPECT_EQ(ReadFileBytes(L"a.dat"), "old a");
    EXPECT_EQ(ReadFileBytes(L"b.dat"), "old b");
    SetFileAttributesW(L"a.dat", FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(ListFilesBelow(dir.Path()),
              (std::vector<std::wstring>{L"a.dat", L"b.dat", L"vestrel_logs.txt"}));
}

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
    const std::wstring journal = volumeOf(L"vestrel_journal.txt");
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
        EXPECT_TRUE(Snapshot(m_install) == before) << "the install changed";
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
    WIN32_FIND_DATAW found;
    const std::wstring pattern = folder + L"\\~vestrel-*-" + std::to_wstring(number) + suffix;
    HANDLE find = FindFirstFileW(pattern.c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    FindClose(find);
    return true;
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
        WIN32_FIND_DATAW found;
        const std::wstring folder = Folder(number);
        HANDLE find = FindFirstFileW(
            (folder + L"\\~vestrel-*-" + std::to_wstring(number) + suffix).c_str(), &found);
        if (find == INVALID_HANDLE_VALUE)
            return std::wstring();
        FindClose(find);
        return folder + L"\\" + found.cFileName;
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
    const char* phases[] = {"writing aside", "moving into place", "undoing a stopped update",
                            "removing what it kept"};
    const int kKills = TestVolumeKind() == "folder" ? 10 : 3;
    ResetInstall();
    const Files before = InstallFiles();
    Files completed = m_newer;
    completed[L"update.zip"] = m_archive;
    for (int phase = 0; phase < 4; ++phase) {
        const bool keepsTheUpdate = phase == 3;
        int proven = 0;
        for (int attempt = 0; proven < kKills && attempt < 4 * kKills && !HasFailure(); ++attempt) {
            SCOPED_TRACE(std::string(phases[phase]) + ", attempt " + std::to_string(attempt));
            const size_t number = kFiles / 8 + random() % (kFiles / 4);
            bool inPhase = false;
            if (phase == 0) {
                KillUpdateAt(number, L".tmp");
                inPhase = KilledWhileWritingAside();
            } else if (phase == 1) {
                KillUpdateWhenMoved(number);
                inPhase = KilledWhileMoving();
            } else if (phase == 2) {
                const size_t moved = kFiles / 2 + number;
                KillUpdateWhenMoved(moved);
                if (KilledWhileMoving()) {
                    const size_t undone = moved / 2 + random() % (moved / 4);
                    VestrelProcess vestrel({"7", "ignored", "f-nothing.exe"});
                    KillWhen(vestrel, [&] { return !StagingFileThere(Folder(undone), undone, L".old"); });
                    inPhase = FileExists(kJournal) && !StagingFileThere(Folder(undone), undone, L".old");
                }
            } else {
                // The kept files go in order only after "moved" is recorded.
                const size_t kept = kFiles / 2 + number;
                auto removing = [&] { return RemovingWhatItKept(kept); };
                VestrelProcess vestrel({"2", "update.zip", "f-nothing.exe"});
                KillWhen(vestrel, removing);
                inPhase = FileExists(kJournal) && removing();
            }

            // Whether or not the kill proved its phase, the next start makes
            // the install whole; only a proven one counts.
            const VestrelOutcome next = RunVestrel({"7", "ignored", "f-nothing.exe"});
            ASSERT_TRUE(next.exited);
            EXPECT_EQ(next.exitCode, 0u);
            EXPECT_TRUE(next.boxes.empty());
            const std::string log = ReadFileBytes(L"vestrel_logs.txt");
            const Files after = InstallFiles();
            if (keepsTheUpdate) {
                // A kill that missed the moment leaves one whole install or the other.
                EXPECT_TRUE(after == completed || after == m_newer || after == before);
                if (inPhase) {
                    EXPECT_NE(log.find("Recovered an update that was stopped here: it had put "
                                       "every file in place; what it left beside them is removed."),
                              std::string::npos)
                        << log;
                    EXPECT_TRUE(after == completed) << "a finished update was not kept";
                }
            } else {
                EXPECT_NE(log.find("Recovered an update that was stopped here: every file it had "
                                   "changed is as it was before."),
                          std::string::npos)
                    << log;
                EXPECT_TRUE(after == before) << "not every file is as it was";
                EXPECT_FALSE(DirectoryExists(L"added")) << "a folder the update made is left";
            }
            EXPECT_FALSE(FileExists(kJournal));
            proven += inPhase;
            if (keepsTheUpdate)
                ResetInstall();
        }
        printf("%s: %d kills in the phase\n", phases[phase], proven);
        EXPECT_EQ(proven, kKills) << phases[phase];

        const VestrelOutcome again = RunVestrel({"2", "update.zip", "f-nothing.exe"});
        ASSERT_TRUE(again.exited);
        EXPECT_TRUE(again.boxes.empty());
        EXPECT_TRUE(InstallFiles() == m_newer) << "the update did not succeed after all";
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
        EXPECT_TRUE(InstallFiles() == m_newer) << log;
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
        EXPECT_TRUE(InstallFiles() == (afterMoves ? completed : before)) << log;
        EXPECT_FALSE(HasTemporaryFiles(m_dir.Path())) << log;
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

// What a player may do after a killed update, before the next start:
// delete what looks strange, or make it read-only. The next start then
// makes the install whole the one way that is left: back where every
// replaced file is kept (the update's own files, read-only or not, go);
// forward, finishing the update, where a kept file is gone but every new
// content is at hand. Where neither is left, it changes nothing, names
// every file that stands in the way and claims nothing whole.
TEST_F(KilledUpdate, FilesTamperedWithAfterAKillAreSettledTheWayThatIsLeft)
{
    enum Expect { Back, Forward, Neither };
    const struct {
        const char* label;
        size_t killedAfter; // the entry moved when killed, or none (kLast + 1)
        std::function<void()> tamper;
        Expect expect;
    } cases[] = {
        {"a kept file deleted", kFiles / 2, [&] { DeleteFileW(StagingFile(0, L".old").c_str()); },
         Forward},
        {"a kept file and another entry's temporary file deleted", kFiles / 2,
         [&] {
             DeleteFileW(StagingFile(0, L".old").c_str());
             DeleteFileW(StagingFile(kLast, L".tmp").c_str());
         },
         Neither},
        {"a new file's temporary file made read-only", kFiles / 2,
         [&] { MadeReadOnly(StagingFile(kLast, L".tmp").c_str()); }, Back},
        {"a kept file made read-only", kFiles / 2,
         [&] { MadeReadOnly(StagingFile(0, L".old").c_str()); }, Back},
        {"a draft of the journal made read-only", kLast + 1,
         [&] {
             WriteFileBytes(L"~vestrel-journal.tmp", "vestrel journal 2\ntoken\t1-00000000\n");
             MadeReadOnly(L"~vestrel-journal.tmp");
         },
         Back},
    };
    Files completed = m_newer;
    completed[L"update.zip"] = m_archive;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ResetInstall();
        const Files before = InstallFiles();
        if (c.killedAfter <= kLast) {
            KillUpdateWhenMoved(c.killedAfter);
            ASSERT_TRUE(KilledWhileMoving());
        }
        c.tamper();
        const Files killed = InstallFiles();

        const VestrelOutcome next = RunVestrel({"7", "ignored", "f-nothing.exe"});
        ASSERT_TRUE(next.exited);
        const std::string log = ReadFileBytes(L"vestrel_logs.txt");
        size_t readOnly = 0;
        for (const auto& file : InstallFiles())
            readOnly += WhatIsAt(file.first) == Found::ReadOnlyFile;
        if (c.expect == Neither) {
            EXPECT_TRUE(InstallFiles() == killed) << log;
            EXPECT_NE(log.find("cannot be undone: [data\\d0\\f0.dat] holds the update's content, "
                               "and the file it replaced is gone."),
                      std::string::npos)
                << log;
            EXPECT_NE(log.find("Nor can it be finished: [added\\f" + std::to_string(kLast) +
                               ".dat] does not hold the update's content, and its temporary file is "
                               "gone."),
                      std::string::npos)
                << log;
            EXPECT_EQ(log.find("Recovered"), std::string::npos) << log;
            EXPECT_TRUE(FileExists(kJournal));
            continue;
        }
        EXPECT_EQ(readOnly, 0u) << "a file the update made or kept stays read-only";
        EXPECT_TRUE(InstallFiles() == (c.expect == Forward ? completed : before)) << log;
        EXPECT_FALSE(HasTemporaryFiles(m_dir.Path())) << log;
        EXPECT_FALSE(FileExists(kJournal)) << log;
        const bool saysFinished =
            log.find("Recovered an update that was stopped here by finishing it, as it could not "
                     "be undone: every file it changes holds its new content.") != std::string::npos;
        EXPECT_EQ(saysFinished, c.expect == Forward) << log;
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
    KillUpdateWhenMoved(kFiles / 2);
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
    EXPECT_TRUE(InstallFiles() == before) << "the later start did not finish the undo";
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
    EXPECT_TRUE(InstallFiles() == before);
    std::error_code ignored;
    std::filesystem::remove_all(elsewhere, ignored);
}

// The running updater's own file is one that cannot be replaced, so an
// update that brings vestrel.exe and is run by that very file fails whole.
TEST_F(FaultRun, ReadOnlyHeldOrDirectoryTargetsFailCleanly)
{
    const Files older = {{L"patcher.exe", "older patcher"}, {L"config.ini", "player config"}};
    ZipBuilder zip;
    zip.File("patcher.exe", "new patcher").File("config.ini", "new config").File("maps", "file")
        .File("vestrel.exe", "a newer updater");
    ASSERT_TRUE(zip.WriteTo(m_dir.Path() + L"\\update.zip"));

    const struct {
        const char* label;
        const char* reason;
    } cases[] = {
        {"read-only", "Can't replace [config.ini]: the file is read-only."},
        {"held", "CreateFile failed with error code 32"},
        {"directory", "Can't replace [maps]: a folder has that name."},
        {"the running updater", "Can't replace [vestrel.exe]: it is the running updater itself."},
    };
    const std::wstring updater = m_install + L"\\vestrel.exe";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        WriteFiles(m_install, older);
        const bool byItsOwnCopy = std::string(c.label) == "the running updater";
        if (byItsOwnCopy) {
            ASSERT_TRUE(CopyFileW(VestrelExePath().c_str(), updater.c_str(), FALSE));
        }
        const Files before = Snapshot(m_install);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (std::string(c.label) == "read-only")
            SetFileAttributesW(L"config.ini", FILE_ATTRIBUTE_READONLY);
        if (std::string(c.label) == "held")
            held = CreateFileW(L"config.ini", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (std::string(c.label) == "directory")
            CreateDirectoryW(L"maps", nullptr);

        VestrelProcess vestrel({"2", "update.zip", "f-nothing.exe"}, SW_SHOWNORMAL,
                               byItsOwnCopy ? updater : std::wstring());
        const VestrelOutcome run = vestrel.Finish();
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);

        ExpectInstallAsBefore(WithLog(before, m_install), m_install + L"\\update.zip", run);
        const std::string log = ReadFileBytes(L"vestrel_logs.txt");
        EXPECT_NE(log.find(c.reason), std::string::npos) << log;
        EXPECT_NE(log.find("There was an error writing the file: ["), std::string::npos) << log;
        EXPECT_FALSE(HasTemporaryFiles(m_install));
        SetFileAttributesW(L"config.ini", FILE_ATTRIBUTE_NORMAL);
        RemoveDirectoryW(L"maps");
        DeleteFileW(updater.c_str());
    }
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
        EXPECT_TRUE(Snapshot(m_install) == WithLog(before, m_install));
        EXPECT_NE(log.find("There was an error writing the file"), std::string::npos) << log;
    }
    EXPECT_FALSE(HasTemporaryFiles(m_install));
}

// Needs a small file system of its own: the test command mounts a 1 MiB
// tmpfs and names it in VESTREL_TEST_SMALL_DISK (a Windows path).
TEST_F(FaultRun, FullDiskLeavesTheInstallAsItWas)
{
    const char* smallDisk = std::getenv("VESTREL_TEST_SMALL_DISK");
    if (!smallDisk || !*smallDisk)
        GTEST_SKIP() << "no small disk was mounted (mounting a tmpfs needs root)";
    const std::wstring disk = Widen(smallDisk);
    ASSERT_TRUE(DirectoryExists(disk));
    std::error_code ignored;
    for (const std::wstring& name : ListFilesBelow(disk))
        std::filesystem::remove(disk + L"\\" + name, ignored);

    const Files older = {{L"patcher.exe", TextBytes(100000, 7)}, {L"maps\\a.map", TextBytes(200000, 8)}};
    WriteFiles(disk, older);
    ZipBuilder zip;
    zip.File("patcher.exe", PatternBytes(400000, 9))
        .File("maps/a.map", PatternBytes(400000, 10))
        .File("maps/b.map", PatternBytes(900000, 11));
    const std::wstring archive = m_dir.Path() + L"\\update.zip";
    ASSERT_TRUE(zip.WriteTo(archive));

    ASSERT_TRUE(SetCurrentDirectoryW(disk.c_str()));
    const Files before = Snapshot(disk);
    VestrelProcess vestrel({"2", Narrow(archive), "f-nothing.exe"});
    const VestrelOutcome run = vestrel.Finish();
    SetCurrentDirectoryW(m_dir.Path().c_str());

    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 0u);
    const Files after = Snapshot(disk);
    const std::string log = ReadFileBytes(disk + L"\\vestrel_logs.txt");
    EXPECT_TRUE(after == WithLog(before, disk)) << "the install changed";
    EXPECT_TRUE(FileExists(archive));
    EXPECT_NE(log.find("failed with error code 112 as follows:"), std::string::npos) << log;
    EXPECT_NE(log.find("There was an error writing the file: ["), std::string::npos) << log;
    EXPECT_NE(log.find("Error code: [7]"), std::string::npos) << log;
    printf("%s", log.c_str());
}

// In a folder nobody can write to, an update that brings files cannot even
// write its journal: the player is told which file could not be written,
// and the failed call is named. An archive of folders alone writes no
// journal and succeeds as before, each folder that cannot be made printed
// as the archive names it. The test command mounts such a folder (a
// read-only tmpfs holding game.dat) and names it in
// VESTREL_TEST_READ_ONLY_DISK.
TEST_F(FaultRun, UnwritableFolderNamesTheFileThatCannotBeWritten)
{
    const char* readOnly = std::getenv("VESTREL_TEST_READ_ONLY_DISK");
    if (!readOnly || !*readOnly)
        GTEST_SKIP() << "no read-only disk was mounted (mounting a tmpfs needs root)";
    const std::wstring disk = Widen(readOnly);
    ASSERT_EQ(ReadFileBytes(disk + L"\\game.dat"), "game data");
    ZipBuilder files;
    files.File("game.dat", "new game data").File("maps/new.map", "new map");
    ASSERT_TRUE(files.WriteTo(m_dir.Path() + L"\\files.zip"));
    ZipBuilder folders;
    folders.Directory("saves/slots/");
    ASSERT_TRUE(folders.WriteTo(m_dir.Path() + L"\\folders.zip"));

    ASSERT_TRUE(SetCurrentDirectoryW(disk.c_str()));
    const VestrelOutcome run = RunVestrel({"2", Narrow(m_dir.Path() + L"\\files.zip"), "f-nothing.exe"});
    const VestrelOutcome foldersRun =
        RunVestrel({"2", Narrow(m_dir.Path() + L"\\folders.zip"), "f-nothing.exe"});
    SetCurrentDirectoryW(m_dir.Path().c_str());

    ASSERT_TRUE(run.exited);
    ASSERT_EQ(run.boxes.size(), 2u);
    EXPECT_EQ(run.boxes[0].text, "There was an error writing the file: [vestrel_journal.txt].");
    EXPECT_EQ(run.boxes[1].text, "An error occured.\nError code: 7");
    // No log can be made here either: the reports are on standard output.
    EXPECT_TRUE(std::regex_search(run.standardOutput,
                                  std::regex("CreateFile failed with error code \\d+ as follows:")))
        << run.standardOutput;
    EXPECT_EQ(ListFilesBelow(disk), std::vector<std::wstring>{L"game.dat"});
    EXPECT_EQ(ReadFileBytes(disk + L"\\game.dat"), "game data");
    EXPECT_TRUE(FileExists(m_dir.Path() + L"\\files.zip"));

    ASSERT_TRUE(foldersRun.exited);
    EXPECT_TRUE(foldersRun.boxes.empty());
    EXPECT_NE(foldersRun.standardOutput.find("saves/: "), std::string::npos) << foldersRun.standardOutput;
    EXPECT_NE(foldersRun.standardOutput.find("saves/slots/: "), std::string::npos)
        << foldersRun.standardOutput;
    EXPECT_FALSE(FileExists(m_dir.Path() + L"\\folders.zip"));
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
        EXPECT_FALSE(HasTemporaryFiles(m_install)) << log;
        EXPECT_FALSE(FileExists(kJournal)) << log;
        if (c.damaged) {
            Files expected = update.older;
            expected[L"update.zip"] = archive;
            EXPECT_TRUE(after == expected) << log;
            EXPECT_FALSE(DirectoryExists(L"added")) << log;
            ASSERT_EQ(run.boxes.size(), 1u) << log;
            EXPECT_EQ(run.boxes[0].text, "An error occured.\nError code: 7");
        } else {
            EXPECT_TRUE(after == update.Newer()) << log;
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
    EXPECT_FALSE(HasTemporaryFiles(m_install)) << log;
    EXPECT_FALSE(FileExists(kJournal)) << log;
}

// A journal that names what no update of this program could have written (a
// name no Windows file may have, the updater's own log) is unreadable: it is
// reported and left alone at once, as a damaged one is, without retries,
// and changes nothing.
TEST_F(FaultRun, JournalNamingWhatNoUpdateWritesIsLeftAloneAtOnce)
{
    WriteFiles(m_install, {{L"saves\\slot1.sav", "player's game"}});
    for (const std::string target : {"sav*\\slot1.sav", "vestrel_logs.txt"}) {
        SCOPED_TRACE(target);
        const size_t folder = target.find('\\') + 1;
        const std::string journal = HandMadeJournal(
            {"file\t" + target + "\t" + target.substr(0, folder) + "~vestrel-7-0000abcd-0.tmp\t\t1\t" +
             Hex(Crc("x"), 8) + "\t"},
            "moving\n");
        WriteFileBytes(kJournal, journal);
        const Files before = Snapshot(m_install);

        const VestrelOutcome run = RunVestrel({"7", "ignored", "f-nothing.exe"});
        ASSERT_TRUE(run.exited);
        const std::string log = ReplaceLogStamps(ReadFileBytes(L"vestrel_logs.txt"));
        EXPECT_EQ(log, "Can't recover the update that was stopped here: its journal "
                       "[vestrel_journal.txt] is left alone, as a file record names no file of the "
                       "install.\r\n");
        Files after = Snapshot(m_install);
        after.erase(L"vestrel_logs.txt");
        Files expected = before;
        expected.erase(L"vestrel_logs.txt");
        EXPECT_TRUE(after == expected);
    }
}

// The folders an update makes are made under names of its own until their
// ids are on record, so that a stop in between leaves none that the next
// start cannot tell for the update's.
TEST_F(FaultRun, StopBetweenMakingFoldersAndRecordingThemLeavesNone)
{
    ZipBuilder zip;
    for (int i = 0; i < 300; ++i)
        zip.File("new/f" + std::to_string(i) + "/x.dat", "x", ZIP_CM_STORE);
    ASSERT_TRUE(zip.WriteTo(L"update.zip"));
    auto foldersThere = [] {
        WIN32_FIND_DATAW found;
        for (const wchar_t* pattern : {L"new", L"~vestrel-*.dir"}) {
            HANDLE find = FindFirstFileW(pattern, &found);
            if (find != INVALID_HANDLE_VALUE) {
                FindClose(find);
                return true;
            }
        }
        return false;
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
