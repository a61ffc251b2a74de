// The update sequence through the real process calls: stand-in programs are
// waited for and started, files swapped and unpacked in a scratch folder,
// and the result codes, standard output and files on disk checked.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "diag/log_file.h"
#include "tests/support/programs.h"
#include "tests/support/test_support.h"
#include "tests/support/zip_writer.h"
#include "update/process_watch.h"
#include "update/run_update.h"

namespace {

using namespace std::chrono_literals;

class RunUpdateTest : public ::testing::Test {
protected:
    int Run(const std::vector<std::string>& args)
    {
        StdoutCapture out;
        ArgVector argv(args);
        const int result = RunUpdate(argv.Count(), argv.Values());
        m_stdout = out.Finish();
        return result;
    }

    // Starts the run on a thread of its own, for runs that wait.
    std::future<int> RunInBackground(const std::vector<std::string>& args)
    {
        return std::async(std::launch::async, [this, args] { return Run(args); });
    }

    std::wstring Here(const std::wstring& name) const { return m_dir.Path() + L"\\" + name; }

    ScopedWorkDir m_dir;
    LogFile m_log;
    GlobalLogScope m_logScope{&m_log};
    std::string m_stdout;
};

} // namespace

TEST_F(RunUpdateTest, WrongArgumentCountsAreRefusedBeforeAnythingHappens)
{
    const struct {
        std::vector<std::string> args;
        int expected;
    } cases[] = {
        {{"vestrel.exe", "0", "u-a.exe"}, 4},
        {{"vestrel.exe", "0", "u-a.exe", "u-b.exe", "extra"}, 4},
        {{"vestrel.exe", "1", "u-a.exe"}, 5},
        {{"vestrel.exe", "2", "update.zip"}, 8},
        {{"vestrel.exe", "7", "ignored"}, 8},
        {{"vestrel.exe", "-1"}, 8},
    };
    WriteFileBytes(L"update.zip", EmptyZip());
    for (const auto& c : cases) {
        SCOPED_TRACE("run mode " + c.args[1] + ", argc " + std::to_string(c.args.size()));
        EXPECT_EQ(Run(c.args), c.expected);
        EXPECT_EQ(m_stdout, "");
    }
    EXPECT_EQ(ListFilesBelow(m_dir.Path()),
              (std::vector<std::wstring>{L"update.zip", L"vestrel_logs.txt"}));
    EXPECT_EQ(ReadFileBytes(L"vestrel_logs.txt"), "");
}

TEST_F(RunUpdateTest, ProcessNamesMatchWholeAndIgnoringCase)
{
    HeldProgram program(Here(L"u-watch.exe"));
    EXPECT_TRUE(IsProcessRunning(L"u-watch.exe"));
    EXPECT_TRUE(IsProcessRunning(L"U-Watch.EXE"));
    EXPECT_FALSE(IsProcessRunning(L"u-watch"));
    EXPECT_FALSE(IsProcessRunning(L"u-watch.ex"));
    EXPECT_FALSE(IsProcessRunning(L"watch.exe"));
    EXPECT_FALSE(IsProcessRunning(Here(L"u-watch.exe").c_str())) << "a directory never matches";
    program.End();
    EXPECT_FALSE(IsProcessRunning(L"u-watch.exe"));
}

TEST_F(RunUpdateTest, PollingLeavesHandlesAndMemoryLevel)
{
    HeldProgram program(Here(L"u-level.exe"));
    auto freshHandleValue = [] {
        HANDLE probe = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        CloseHandle(probe);
        return reinterpret_cast<uintptr_t>(probe);
    };
    auto workingSet = [] {
        PROCESS_MEMORY_COUNTERS counters = {};
        counters.cb = sizeof counters;
        GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
        return counters.WorkingSetSize;
    };
    for (int i = 0; i < 50; ++i)
        IsProcessRunning(L"u-level.exe");
    const uintptr_t handleBefore = freshHandleValue();
    const size_t memoryBefore = workingSet();

    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(IsProcessRunning(L"u-level.exe"));
        ASSERT_FALSE(IsProcessRunning(L"u-nobody.exe"));
    }

    EXPECT_EQ(freshHandleValue(), handleBefore) << "handles leak";
    EXPECT_LT(workingSet(), memoryBefore + 1024 * 1024)
        << "working set " << memoryBefore << " -> " << workingSet();
}

TEST_F(RunUpdateTest, SwapWaitsUntilBothProgramsHaveEnded)
{
    HeldProgram patcher(Here(L"u-app.exe"));
    HeldProgram launcher(Here(L"u-launcher.exe"));
    const std::string replacement = StandInBytesFor("new build");
    WriteFileBytes(L"u-app_new.exe", replacement);

    std::future<int> run = RunInBackground({"vestrel.exe", "0", "u-app.exe", "u-launcher.exe"});
    EXPECT_EQ(run.wait_for(300ms), std::future_status::timeout) << "both still run";
    patcher.End();
    EXPECT_EQ(run.wait_for(300ms), std::future_status::timeout) << "the second one still runs";
    launcher.End();
    ASSERT_EQ(run.wait_for(10s), std::future_status::ready);

    EXPECT_EQ(run.get(), 1);
    EXPECT_TRUE(ReadFileBytes(L"u-app.exe") == replacement);
    EXPECT_FALSE(FileExists(L"u-app_new.exe"));
    EXPECT_EQ(m_stdout, QuotedPathLine(Here(L"u-app.exe")));
    const std::vector<StartRecord> starts = WaitForStartRecords(Here(L"u-app.exe"), 2);
    ASSERT_EQ(starts.size(), 2u) << "held start, then the restart";
    EXPECT_NE(starts[1].commandLine.find(L"u-app.exe"), std::wstring::npos);
    EXPECT_EQ(starts[1].workingDirectory, m_dir.Path());
}

TEST_F(RunUpdateTest, SwapFindsTheReplacementByStemInTheWorkingDirectory)
{
    const struct {
        const char* executable;
        const wchar_t* replacement;
        const wchar_t* swapped;
    } cases[] = {
        {"app.exe", L"app_new.exe", L"app.exe"},
        {"my.app.exe", L"my.app_new.exe", L"my.app.exe"},
        {"app", L"app_new.exe", L"app"},
        {"sub\\app.exe", L"app_new.exe", L"sub\\app.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.executable);
        ScopedWorkDir dir;
        CreateDirectoryW(L"sub", nullptr);
        WriteFileBytes(c.swapped, "old build");
        const std::string replacement = StandInBytesFor(c.executable);
        WriteFileBytes(c.replacement, replacement);

        EXPECT_EQ(Run({"vestrel.exe", "0", c.executable, "u-nothing.exe"}), 1);
        const std::wstring swapped = dir.Path() + L"\\" + c.swapped;
        EXPECT_TRUE(ReadFileBytes(swapped) == replacement);
        EXPECT_FALSE(FileExists(c.replacement));
        EXPECT_EQ(m_stdout, QuotedPathLine(swapped));
        EXPECT_EQ(WaitForStartRecords(swapped, 1).size(), 1u) << "restarted";
    }
}

TEST_F(RunUpdateTest, SwapWhenOnlyTheReplacementExists)
{
    const std::string replacement = StandInBytesFor("first install");
    WriteFileBytes(L"u-fresh_new.exe", replacement);
    EXPECT_EQ(Run({"vestrel.exe", "0", "u-fresh.exe", "u-nothing.exe"}), 1);
    EXPECT_TRUE(ReadFileBytes(L"u-fresh.exe") == replacement);
    EXPECT_FALSE(FileExists(L"u-fresh_new.exe"));
}

// A folder of the replacement's name is no replacement: moved over the
// executable, it would leave the player without a patcher.
TEST_F(RunUpdateTest, MissingReplacementOrAFolderInItsPlaceShowsABoxAndChangesNothing)
{
    for (const bool folder : {false, true}) {
        SCOPED_TRACE(folder ? "a folder named app_new.exe" : "no app_new.exe");
        WriteFileBytes(L"app.exe", "old build");
        if (folder)
            CreateDirectoryW(L"app_new.exe", nullptr);
        MessageBoxWatcher boxes;
        EXPECT_EQ(Run({"vestrel.exe", "0", "app.exe", "u-nothing.exe"}), 2);

        ASSERT_EQ(boxes.Boxes().size(), 1u);
        EXPECT_EQ(boxes.Boxes()[0].caption, "Torvik Vestrel");
        EXPECT_EQ(boxes.Boxes()[0].text, "The file \"app_new.exe\" was not found.");
        EXPECT_TRUE(boxes.Boxes()[0].hasIcon);
        EXPECT_EQ(ReadFileBytes(L"app.exe"), "old build");
        EXPECT_EQ(ListFilesBelow(m_dir.Path()),
                  (std::vector<std::wstring>{L"app.exe", L"vestrel_logs.txt"}));
        EXPECT_EQ(DirectoryExists(L"app_new.exe"), folder);
        EXPECT_EQ(m_stdout, "");
    }
}

TEST_F(RunUpdateTest, SwapOntoAnExecutableHeldLongerThanTheRetriesKeepsBothFiles)
{
    WriteFileBytes(L"app.exe", "old build");
    WriteFileBytes(L"app_new.exe", "new build");
    HANDLE held = CreateFileW(L"app.exe", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto start = std::chrono::steady_clock::now();
    const int result = Run({"vestrel.exe", "0", "app.exe", "u-nothing.exe"});
    const auto tried = std::chrono::steady_clock::now() - start;
    CloseHandle(held);

    EXPECT_EQ(result, 3);
    EXPECT_GE(tried, 2000ms) << "the move is retried for 2 seconds";
    EXPECT_LT(tried, 6000ms) << "and then given up";
    EXPECT_EQ(m_stdout, "5\n") << "the system error number of the failed move";
    EXPECT_EQ(ReadFileBytes(L"app.exe"), "old build");
    EXPECT_EQ(ReadFileBytes(L"app_new.exe"), "new build");
}

// The old executable may be held a moment after the patcher ended; the
// replacement, just downloaded, by a virus scanner that looks it up, which
// takes longer (it shares reading and writing, not deletion).
TEST_F(RunUpdateTest, SwapOntoAnExecutableReleasedWithinTheRetriesSucceeds)
{
    const struct {
        const wchar_t* held;
        DWORD share;
        std::chrono::milliseconds hold;
    } cases[] = {{L"app.exe", 0, 300ms}, {L"app_new.exe", FILE_SHARE_READ | FILE_SHARE_WRITE, 3000ms}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.held));
        WriteFileBytes(L"app.exe", "old build");
        const std::string replacement = StandInBytesFor("new build");
        WriteFileBytes(L"app_new.exe", replacement);
        HANDLE held = CreateFileW(c.held, GENERIC_READ, c.share, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        std::thread release([held, &c] {
            std::this_thread::sleep_for(c.hold);
            CloseHandle(held);
        });
        const int result = Run({"vestrel.exe", "0", "app.exe", "u-nothing.exe"});
        release.join();

        EXPECT_EQ(result, 1) << m_stdout;
        EXPECT_TRUE(ReadFileBytes(L"app.exe") == replacement);
        EXPECT_FALSE(FileExists(L"app_new.exe"));
    }
}

TEST_F(RunUpdateTest, RestartModesStartTheTargetFromTheWorkingDirectoryOrItsOwnPath)
{
    CreateDirectoryW(L"elsewhere", nullptr);
    CopyStandIn(Here(L"elsewhere\\u-abs.exe"));
    CopyStandIn(Here(L"u-rel.exe"));

    EXPECT_EQ(Run({"vestrel.exe", "7", "ignored", Ansi(Here(L"elsewhere\\u-abs.exe"))}), 1);
    EXPECT_EQ(m_stdout, QuotedPathLine(Here(L"elsewhere\\u-abs.exe")));
    const auto absolute = WaitForStartRecords(Here(L"elsewhere\\u-abs.exe"), 1);
    ASSERT_EQ(absolute.size(), 1u);
    EXPECT_EQ(absolute[0].workingDirectory, m_dir.Path()) << "inherited, not the program's folder";

    EXPECT_EQ(Run({"vestrel.exe", "-1", "ignored", "u-rel.exe"}), 1);
    EXPECT_EQ(m_stdout, QuotedPathLine(Here(L"u-rel.exe")));
    EXPECT_EQ(WaitForStartRecords(Here(L"u-rel.exe"), 1).size(), 1u);
}

TEST_F(RunUpdateTest, FailedStartIsPrintedAndStillCountsAsDone)
{
    EXPECT_EQ(Run({"vestrel.exe", "7", "ignored", "u-missing.exe"}), 1);
    EXPECT_EQ(m_stdout, QuotedPathLine(Here(L"u-missing.exe")) + "CreateProcess failed (2).\n");
    EXPECT_EQ(ReadFileBytes(L"vestrel_logs.txt"), "") << "a failed start is not logged";
}

TEST_F(RunUpdateTest, LaunchNeverWaitsPassesArgumentsUnquotedAndLingers)
{
    HeldProgram running(Here(L"u-launch.exe"));
    CreateDirectoryW(L"wd", nullptr);

    const auto start = std::chrono::steady_clock::now();
    const int result = Run({"vestrel.exe", "1", "u-launch.exe", "wd", "a", "b c", "d"});
    const auto lingered = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(result, 1);
    EXPECT_TRUE(running.Running()) << "launch mode must not wait for a program of that name";
    EXPECT_GE(lingered, 5000ms);
    EXPECT_LT(lingered, 8000ms);
    EXPECT_EQ(m_stdout, "");
    const auto starts = WaitForStartRecords(Here(L"u-launch.exe"), 2);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1].commandLine, L" a b c d");
    EXPECT_EQ(starts[1].workingDirectory, Here(L"wd")) << "the program's folder comes from argv[3]";
}

TEST_F(RunUpdateTest, LaunchWithoutArgumentsGivesAnEmptyCommandLine)
{
    CopyStandIn(Here(L"u-bare.exe"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run({"vestrel.exe", "1", "u-bare.exe", "."}), 1);
    const auto lingered = std::chrono::steady_clock::now() - start;
    EXPECT_GE(lingered, 5000ms);
    EXPECT_LT(lingered, 8000ms);
    const auto starts = WaitForStartRecords(Here(L"u-bare.exe"), 1);
    ASSERT_EQ(starts.size(), 1u);
    // Windows passes the empty command line on; Wine puts the program's
    // quoted path in its place. Either way no argument arrives.
    const std::wstring commandLine = starts[0].commandLine;
    EXPECT_TRUE(commandLine == L"" || commandLine == L"\"" + Here(L"u-bare.exe") + L"\"")
        << Narrow(commandLine);
}

// Runs with LC_ALL=ru_RU.UTF-8, which gives Wine the ANSI code page 1251.
TEST_F(RunUpdateTest, CyrillicNamesInTheCodePage)
{
    if (GetACP() != 1251)
        GTEST_SKIP() << "needs ANSI code page 1251, this process has " << GetACP();
    const std::wstring patcher = L"\u043f\u0430\u0442\u0447.exe"; // патч.exe
    HeldProgram running(Here(patcher));
    EXPECT_TRUE(IsProcessRunning(L"\u041f\u0410\u0422\u0427.EXE")) << "case ignored beyond ASCII";

    std::future<int> run = RunInBackground({"vestrel.exe", "9", "ignored", Ansi(patcher)});
    EXPECT_EQ(run.wait_for(300ms), std::future_status::timeout);
    running.End();
    ASSERT_EQ(run.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(run.get(), 1);
    EXPECT_EQ(m_stdout, QuotedPathLine(Here(patcher)));
    EXPECT_EQ(WaitForStartRecords(Here(patcher), 2).size(), 2u) << "restarted";

    const std::wstring folder = L"\u043f\u0430\u043f\u043a\u0430"; // папка
    CreateDirectoryW(folder.c_str(), nullptr);
    EXPECT_EQ(Run({"vestrel.exe", "1", Ansi(patcher), Ansi(folder), Ansi(L"\u0436\u0443\u043a")}),
              1);
    const auto starts = WaitForStartRecords(Here(patcher), 3);
    ASSERT_EQ(starts.size(), 3u);
    EXPECT_EQ(starts[2].commandLine, L" \u0436\u0443\u043a");
    EXPECT_EQ(starts[2].workingDirectory, Here(folder));
}
