// The real vestrel.exe, started with real command lines as the auto-patcher
// starts it; its windows and boxes seen and answered from outside, its exit
// code, log and files checked.
#include <windows.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "app/update_worker.h"
#include "tests/support/programs.h"
#include "tests/support/test_support.h"
#include "tests/support/vestrel_driver.h"
#include "tests/support/zip_writer.h"

namespace {

// The log of the run in the current directory, without time stamps.
std::string Log()
{
    return ReplaceLogStamps(ReadFileBytes(L"vestrel_logs.txt"));
}

class VestrelExe : public ::testing::Test {
protected:
    std::wstring Here(const std::wstring& name) const { return m_dir.Path() + L"\\" + name; }
    ScopedWorkDir m_dir;
};

} // namespace

TEST_F(VestrelExe, NoArgumentExitsWithNine)
{
    const VestrelOutcome run = RunVestrel({});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 9u);
    EXPECT_EQ(Log(), "Error code: [9]\r\n");
    EXPECT_TRUE(run.windows.empty());
    EXPECT_TRUE(run.boxes.empty());
}

TEST_F(VestrelExe, RunModeThatIsNotAWholeNumberExitsWithSix)
{
    for (const char* runMode : {"abc", "", "1x", "1 ", "0x1", "--1"}) {
        SCOPED_TRACE(std::string("run mode [") + runMode + "]");
        const VestrelOutcome run = RunVestrel({runMode, "a", "b"});
        ASSERT_TRUE(run.exited);
        EXPECT_EQ(run.exitCode, 6u);
        EXPECT_EQ(Log(), "Error code: [6]\r\n");
        EXPECT_TRUE(run.windows.empty());
    }
}

TEST_F(VestrelExe, BlanksSignsAndLeadingZerosAreAccepted)
{
    // Run modes 1 and 0 with too few arguments: the direct path answers 5 and 4.
    const struct {
        const char* runMode;
        DWORD exitCode;
    } cases[] = {{" 1", 5}, {"+1", 5}, {"01", 5}, {"-0", 4}, {"\t0", 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("run mode [") + c.runMode + "]");
        const VestrelOutcome run = RunVestrel({c.runMode});
        ASSERT_TRUE(run.exited);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(Log(), "Error code: [" + std::to_string(c.exitCode) + "]\r\n");
        EXPECT_TRUE(run.windows.empty()) << "the direct path shows no window";
    }
}

TEST_F(VestrelExe, OtherRunModesTakeTheWindowedPathAndShowTheErrorBox)
{
    for (const char* runMode : {"2", "-1", "99999999999", "-99999999999"}) {
        SCOPED_TRACE(std::string("run mode ") + runMode);
        const VestrelOutcome run = RunVestrel({runMode});
        ASSERT_TRUE(run.exited);
        EXPECT_EQ(run.exitCode, 0u);
        ASSERT_EQ(run.boxes.size(), 1u);
        EXPECT_EQ(run.boxes[0].caption, "Torvik Vestrel");
        EXPECT_EQ(run.boxes[0].text, "An error occured.\nError code: 8");
        EXPECT_TRUE(run.boxes[0].hasIcon);
        EXPECT_EQ(Log(), "Error code: [8]\r\n");
        ASSERT_EQ(run.windows.size(), 1u);
        EXPECT_TRUE(run.windows[0].visible);
    }
}

TEST_F(VestrelExe, DirectPathExitsWithTheResultCode)
{
    const VestrelOutcome run = RunVestrel({"0", "e-app.exe"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 4u);
    EXPECT_EQ(Log(), "Error code: [4]\r\n");
}

TEST_F(VestrelExe, ProgressWindowIsCentredAndShowsItsTextWhileTheUpdateWaits)
{
    HeldProgram patcher(Here(L"e-patcher.exe"));
    ZipBuilder zip;
    zip.File("maps/new.map", "map data").File("e-patcher.exe", StandInBytesFor());
    ASSERT_TRUE(zip.WriteTo(Here(L"update.zip")));

    VestrelProcess vestrel({"2", "update.zip", "e-patcher.exe", "ignored"});
    HWND window = vestrel.WaitForWindow("Torvik Vestrel");
    ASSERT_NE(window, nullptr);
    RECT rect = {};
    GetWindowRect(window, &rect);
    EXPECT_EQ(rect.left, 710);
    EXPECT_EQ(rect.top, 490);
    EXPECT_EQ(rect.right - rect.left, 500);
    EXPECT_EQ(rect.bottom - rect.top, 100);
    char title[64] = {};
    GetWindowTextA(window, title, sizeof title);
    EXPECT_STREQ(title, "Torvik Vestrel");
    std::string why;
    EXPECT_TRUE(ShowsProgressText(window, why)) << why;
    EXPECT_TRUE(FileExists(L"update.zip")) << "nothing unpacked while the patcher runs";

    patcher.End();
    const VestrelOutcome run = vestrel.Finish();
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.boxes.empty()) << Log();
    EXPECT_EQ(ReadFileBytes(L"maps\\new.map"), "map data");
    EXPECT_FALSE(FileExists(L"update.zip"));
    EXPECT_EQ(WaitForStartRecords(Here(L"e-patcher.exe"), 2).size(), 2u)
        << "the unpacked patcher was restarted";
    const std::string log = Log();
    EXPECT_NE(log.find("Finished unzipping [maps/new.map].\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Error code"), std::string::npos) << "success is not logged as an error";
    // Standard output is in text mode: the line ends in CR LF there.
    std::string quoted = QuotedPathLine(Here(L"e-patcher.exe"));
    quoted.back() = '\r';
    EXPECT_NE(run.standardOutput.find("All files unzipped." + quoted + "\n"), std::string::npos)
        << run.standardOutput;
}

TEST_F(VestrelExe, FailedUnpackShowsCodeSevenAndKeepsTheInstall)
{
    WriteFileBytes(L"e-patcher7.exe", "old patcher");
    WriteFileBytes(L"update.zip", "no zip");
    const VestrelOutcome run = RunVestrel({"2", "update.zip", "e-patcher7.exe"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, "An error occured.\nError code: 7");
    EXPECT_EQ(ReadFileBytes(L"e-patcher7.exe"), "old patcher");
    EXPECT_EQ(ReadFileBytes(L"update.zip"), "no zip");
    EXPECT_EQ(Log(), "Can't open zip archive: Not a zip archive - [update.zip]\r\nError code: [7]\r\n");
    EXPECT_EQ(run.standardOutput.find('"'), std::string::npos) << "restarted: " << run.standardOutput;
}

TEST_F(VestrelExe, SwapRunReplacesTheExecutableAndRestartsIt)
{
    HeldProgram patcher(Here(L"e-swap.exe"));
    const std::string replacement = StandInBytesFor("new build");
    WriteFileBytes(L"e-swap_new.exe", replacement);

    VestrelProcess vestrel({"0", "e-swap.exe", "e-nothing.exe"});
    EXPECT_TRUE(vestrel.Running());
    patcher.End();
    const VestrelOutcome run = vestrel.Finish();
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(Log(), "Error code: [1]\r\n");
    EXPECT_TRUE(ReadFileBytes(L"e-swap.exe") == replacement);
    EXPECT_FALSE(FileExists(L"e-swap_new.exe"));
    EXPECT_EQ(WaitForStartRecords(Here(L"e-swap.exe"), 2).size(), 2u) << "restarted";
    EXPECT_TRUE(run.windows.empty());
}

TEST_F(VestrelExe, LaunchRunStartsTheProgramAndExitsWithOne)
{
    CopyStandIn(Here(L"e-launch.exe"));
    CreateDirectoryW(L"wd", nullptr);
    const VestrelOutcome run = RunVestrel({"1", "e-launch.exe", "wd", "-x", "two words"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(Log(), "Error code: [1]\r\n");
    const auto starts = WaitForStartRecords(Here(L"e-launch.exe"), 1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].commandLine, L" -x two words");
    EXPECT_EQ(starts[0].workingDirectory, Here(L"wd"));
}

TEST_F(VestrelExe, HiddenOrMinimisedStartsStillDoTheWork)
{
    for (WORD show : {SW_HIDE, SW_MINIMIZE, SW_SHOWMINIMIZED, SW_SHOWMINNOACTIVE, SW_FORCEMINIMIZE}) {
        SCOPED_TRACE("show command " + std::to_string(show));
        ZipBuilder zip;
        zip.File("unpacked.txt", "done");
        ASSERT_TRUE(zip.WriteTo(Here(L"update.zip")));
        const VestrelOutcome run = RunVestrel({"2", "update.zip", "e-nothing.exe"}, show);
        ASSERT_TRUE(run.exited) << "the update must not wait for a paint that never comes";
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_TRUE(run.boxes.empty());
        EXPECT_EQ(ReadFileBytes(L"unpacked.txt"), "done");
        EXPECT_FALSE(FileExists(L"update.zip"));
        DeleteFileW(L"unpacked.txt");
    }
}

TEST_F(VestrelExe, RestartWithNothingToWaitForEndsAtOnce)
{
    CopyStandIn(Here(L"e-restart.exe"));
    const VestrelOutcome run = RunVestrel({"7", "ignored", "e-restart.exe"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(WaitForStartRecords(Here(L"e-restart.exe"), 1).size(), 1u);
    EXPECT_EQ(Log(), "");
}

TEST_F(VestrelExe, EachStartReplacesThePreviousLog)
{
    RunVestrel({"abc"});
    EXPECT_EQ(Log(), "Error code: [6]\r\n");
    RunVestrel({});
    EXPECT_EQ(Log(), "Error code: [9]\r\n");
}

namespace {

// A thread that waits for the worker's signal as the window's thread does
// and sets an event when the wait is over. Started with CreateThread, as the
// worker is; left running if the wait never ends, so that the test fails
// instead of hanging.
struct Waiter {
    WorkerRecord record;
    HANDLE ended;
};

DWORD WINAPI WaitLikeTheWindow(LPVOID parameter)
{
    auto* waiter = static_cast<Waiter*>(parameter);
    std::unique_lock<std::mutex> lock(*waiter->record.mutex);
    WaitForCompletion(waiter->record, lock);
    SetEvent(waiter->ended);
    return 0;
}

HANDLE StartWaiter(Waiter& waiter)
{
    HANDLE thread = CreateThread(nullptr, 0, WaitLikeTheWindow, &waiter, 0, nullptr);
    if (thread)
        CloseHandle(thread);
    return waiter.ended;
}

} // namespace

// The window's thread waits for the worker's signal however the two meet:
// a worker that finished before the wait began still ends it, and a
// wake-up without the signal does not.
TEST(WorkerCompletion, EarlySignalEndsTheWaitAndASpuriousWakeUpDoesNot)
{
    // Static: a waiter that never ends must not outlive what it points to.
    static std::mutex mutex;
    static std::condition_variable done;
    static bool finished = false;
    static Waiter early{{&mutex, &done, &finished}, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    static Waiter woken{{&mutex, &done, &finished}, CreateEventW(nullptr, TRUE, FALSE, nullptr)};

    SignalCompletion(early.record);
    EXPECT_EQ(WaitForSingleObject(StartWaiter(early), 10000), WAIT_OBJECT_0)
        << "an early signal was lost";

    {
        std::lock_guard<std::mutex> lock(mutex);
        finished = false;
    }
    HANDLE ended = StartWaiter(woken);
    for (int i = 0; i < 20; ++i) {
        done.notify_all();
        Sleep(10);
    }
    EXPECT_EQ(WaitForSingleObject(ended, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "a wake-up without the signal ended the wait";
    SignalCompletion(woken.record);
    EXPECT_EQ(WaitForSingleObject(ended, 10000), WAIT_OBJECT_0);
}
