#include "update/run_update.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "archive/extract_archive.h"
#include "diag/message_box.h"
#include "diag/report.h"
#include "diag/text_codec.h"
#include "diag/unique_handle.h"
#include "install/recovery.h"
#include "install/retry_while_held.h"
#include "install/win_paths.h"
#include "update/process_watch.h"
#include "update/result_codes.h"
#include "update/start_program.h"

namespace fs = std::filesystem;

namespace {

// The result code for a command line too short or too long for its run
// mode, or 0 when it fits.
int CheckArgumentCount(int runMode, int argc)
{
    if (argc == 4)
        return 0;
    if (runMode == 0)
        return kSwapArgumentCount;
    if (argc < 4)
        return runMode == 1 ? kLaunchArgumentCount : kWindowedArgumentCount;
    return 0;
}

// The working directory at any length: the C runtime's query, which the
// file-system library uses, gives a wrong answer beyond MAX_PATH.
fs::path CurrentDirectory()
{
    std::wstring directory;
    if (!WorkingDirectory(directory))
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                "GetCurrentDirectory");
    return fs::path(directory);
}

// No pause between passes: the restart follows the end of the last
// watched program as closely as the process list allows.
void WaitUntilEnded(const std::wstring& first, const std::wstring& second)
{
    while (IsProcessRunning(first.c_str()) || IsProcessRunning(second.c_str())) {
    }
}

void LingerFiveSeconds()
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(5000);
    while (Clock::now() < end)
        std::this_thread::sleep_until(end);
}

// Run mode 1: the arguments after argv[3] are passed on as they came,
// each after one space, without quotes.
int LaunchAndLinger(const fs::path& launchPath, int argc, char** argv)
{
    std::string arguments;
    for (int i = 4; i < argc; ++i) {
        arguments += ' ';
        arguments += argv[i];
    }
    const std::wstring wideArguments = AnsiToWide(arguments);
    std::vector<wchar_t> commandLine(wideArguments.begin(), wideArguments.end());
    commandLine.push_back(L'\0');
    const std::wstring workingDirectory = AnsiToWide(argv[3]);

    StartProgram(launchPath.c_str(), commandLine.data(), workingDirectory.c_str());
    LingerFiveSeconds();
    return kDone;
}

// Only a regular file can replace the executable: a folder of that name
// would be moved over it, and the patcher would be gone.
bool IsRegularFile(const std::string& name)
{
    const DWORD attributes = GetFileAttributesW(AnsiToWide(name).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return false;
    throw std::system_error(static_cast<int>(error), std::system_category(),
                            "GetFileAttributes [" + name + "]");
}

// Run mode 0: "<stem>_new.exe" from the working directory replaces the
// executable in one move, so a failed swap leaves the old one in place.
int SwapExecutable(const char* executable)
{
    const std::wstring stem = fs::path(AnsiToWide(executable)).stem().native();
    const std::string replacement = WideToAnsi(stem) + "_new.exe";
    if (!IsRegularFile(replacement)) {
        const std::string text = "The file \"" + replacement + "\" was not found.";
        ShowErrorBox(text.c_str());
        return kReplacementMissing;
    }
    // The replacement has just been downloaded, and virus scanners hold a
    // new program while they look it up: wait for it first. Then the move
    // waits only for the executable, which the patcher that has just ended
    // may hold a moment longer.
    const std::wstring wideReplacement = AnsiToWide(replacement);
    RetryWhileFileHeld(Patience::NewFile, wideReplacement, [&] {
        UniqueHandle probe(CreateFileW(wideReplacement.c_str(), DELETE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        return probe.IsValid();
    });
    const bool moved = RetryWhileFileHeld(Patience::InUse, AnsiToWide(executable), [&] {
        return MoveFileExA(replacement.c_str(), executable,
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED |
                               MOVEFILE_WRITE_THROUGH) != FALSE;
    });
    if (!moved) {
        printf("%lu\n", GetLastError());
        fflush(stdout);
        return kSwapFailed;
    }
    return 0;
}

// The path in the standard quoted form: in double quotes, with every
// backslash and double quote escaped by a backslash.
void PrintQuotedPath(const fs::path& path)
{
    std::string quoted = "\"";
    for (char c : WideToAnsi(path.native())) {
        if (c == '\\' || c == '"')
            quoted += '\\';
        quoted += c;
    }
    quoted += "\"\n";
    fputs(quoted.c_str(), stdout);
    fflush(stdout);
}

int RestartTarget(const fs::path& launchPath)
{
    PrintQuotedPath(launchPath);
    StartProgram(launchPath.c_str(), nullptr, nullptr);
    return kDone;
}

int RunUpdateSteps(int argc, char** argv)
{
    const int runMode = static_cast<int>(strtol(argv[1], nullptr, 10));
    if (const int wrongCount = CheckArgumentCount(runMode, argc))
        return wrongCount;

    const char* target = runMode == 0 || runMode == 1 ? argv[2] : argv[3];
    const fs::path launchPath = CurrentDirectory() / fs::path(AnsiToWide(target));
    if (runMode != 1)
        WaitUntilEnded(AnsiToWide(target), AnsiToWide(argv[3]));

    // An update stopped half way in this folder is finished before any job.
    // Until it is, and while another update runs here, nothing is unpacked.
    // Run mode 1 never waits, not even for a journal held for a moment.
    const RecoveryOutcome recovery = RecoverInterruptedUpdate(runMode != 1);
    const bool installWhole = recovery == RecoveryOutcome::NothingToRecover ||
                              recovery == RecoveryOutcome::Recovered;
    // An update that its own files can no longer settle may be finished
    // from its archive, given again: that is the unpack then.
    const bool completeFirst = runMode == 2 && recovery == RecoveryOutcome::Stuck;

    if (runMode == 1)
        return LaunchAndLinger(launchPath, argc, argv);
    if (runMode == 0) {
        if (const int failed = SwapExecutable(argv[2]))
            return failed;
    } else if (runMode == 2) {
        if (completeFirst ? !CompleteStoppedUpdate(argv[2]) : !installWhole || !ExtractArchive(argv[2]))
            return kUnpackFailed;
    }
    return RestartTarget(launchPath);
}

} // namespace

int RunUpdate(int argc, char** argv)
{
    try {
        return RunUpdateSteps(argc, argv);
    } catch (const std::exception& error) {
        Report(g_log, "Unexpected failure: %s", error.what());
        return kUnexpectedFailure;
    }
}
