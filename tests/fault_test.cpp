// Things going wrong on purpose. Each case checks one promise: either the
// whole job is done, or every file the player had is byte for byte as
// before, no temporary file is left, the archive is kept, and the log says
// what happened.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "archive/extract_archive.h"
#include "diag/log_file.h"
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
    } methods[] = {{ZIP_CM_STORE, "stored"}, {ZIP_CM_DEFLATE, "deflate"}, {ZIP_CM_BZIP2, "bzip2"}};
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

TEST_F(FaultRun, KilledMidWayLeavesEveryFileOldOrNew)
{
    Files older, newer;
    ZipBuilder zip;
    for (int i = 0; i < 40; ++i) {
        const std::wstring name = L"data\\part" + std::to_wstring(i) + L".bin";
        older[name] = TextBytes(20000, 100 + i);
        newer[name] = TextBytes(1000000, 200 + i);
        zip.File("data/part" + std::to_string(i) + ".bin", newer[name], ZIP_CM_STORE);
    }
    ASSERT_TRUE(zip.WriteTo(m_dir.Path() + L"\\update.zip"));
    const std::string archive = ReadFileBytes(m_dir.Path() + L"\\update.zip");

    for (DWORD killAfter : {300u, 700u, 1000u, 1300u, 1600u, 2000u, 2500u, 6000u}) {
        SCOPED_TRACE("killed after " + std::to_string(killAfter) + " ms");
        WriteFiles(m_install, older);
        WriteFileBytes(L"update.zip", archive);
        {
            VestrelProcess vestrel({"2", "update.zip", "f-nothing.exe"});
            Sleep(killAfter);
            vestrel.Kill();
        }
        int oldFiles = 0, newFiles = 0;
        for (const auto& file : older) {
            const std::string bytes = ReadFileBytes(m_install + L"\\" + file.first);
            const bool isOld = bytes == file.second, isNew = bytes == newer[file.first];
            EXPECT_TRUE(isOld || isNew) << Narrow(file.first) << " is partly written";
            oldFiles += isOld;
            newFiles += isNew;
        }
        printf("killed after %lu ms: %d files old, %d new\n", static_cast<unsigned long>(killAfter),
               oldFiles, newFiles);
        // What a killed run leaves beside the files is its own, by name.
        for (const std::wstring& name : ListFilesBelow(m_install))
            EXPECT_TRUE(older.count(name) || name == L"update.zip" || name == L"vestrel_logs.txt" ||
                        name.find(L"~vestrel-") != std::wstring::npos)
                << Narrow(name);
        std::error_code ignored;
        std::filesystem::remove_all(m_install + L"\\data", ignored);
    }
}

TEST_F(FaultRun, ReadOnlyHeldOrDirectoryTargetsFailCleanly)
{
    const Files older = {{L"patcher.exe", "older patcher"}, {L"config.ini", "player config"}};
    ZipBuilder zip;
    zip.File("patcher.exe", "new patcher").File("config.ini", "new config").File("maps", "file");
    ASSERT_TRUE(zip.WriteTo(m_dir.Path() + L"\\update.zip"));

    const struct {
        const char* label;
        const char* reason;
    } cases[] = {
        {"read-only", "MoveFileEx failed with error code 5"},
        {"held", "CreateFile failed with error code 32"},
        {"directory", "MoveFileEx failed with error code 5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        WriteFiles(m_install, older);
        const Files before = Snapshot(m_install);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (std::string(c.label) == "read-only")
            SetFileAttributesW(L"config.ini", FILE_ATTRIBUTE_READONLY);
        if (std::string(c.label) == "held")
            held = CreateFileW(L"config.ini", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (std::string(c.label) == "directory")
            CreateDirectoryW(L"maps", nullptr);

        VestrelProcess vestrel({"2", "update.zip", "f-nothing.exe"});
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
