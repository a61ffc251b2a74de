#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"

// Starts the real vestrel.exe as a patcher would and watches it from
// outside through the window manager's API, like a player at the screen:
// its windows are recorded, its message boxes read and answered with OK.

struct SeenWindow {
    HWND handle = nullptr;
    std::string className;
    std::string title;
    RECT rect = {};
    bool visible = false;
};

struct VestrelOutcome {
    bool exited = false;
    DWORD exitCode = 0;
    std::vector<SeenWindow> windows; // the progress window, if any
    std::vector<MessageBoxWatcher::Box> boxes;
    std::string standardOutput;
};

class VestrelProcess {
public:
    // Starts vestrel.exe (or the copy of it at exe) in the current
    // directory with args after the program's own path, and the given show
    // command.
    explicit VestrelProcess(const std::vector<std::string>& args, WORD showCommand = SW_SHOWNORMAL,
                            const std::wstring& exe = std::wstring());
    ~VestrelProcess();
    VestrelProcess(const VestrelProcess&) = delete;
    VestrelProcess& operator=(const VestrelProcess&) = delete;

    // Watches until the process ends (or the time is up), answering boxes.
    // The default leaves room for a wait for a held new file (a minute).
    VestrelOutcome Finish(DWORD timeoutMs = 150000);
    // Waits until the process shows a visible window of this class.
    HWND WaitForWindow(const char* className, DWORD timeoutMs = 10000);
    // Ends the process at once, as the task manager would.
    void Kill();
    bool Running() const;

private:
    void LookAtWindows(VestrelOutcome& outcome, std::vector<HWND>& answered);

    PROCESS_INFORMATION m_process = {};
    std::wstring m_stdoutFile;
};

// Starts vestrel.exe with args and watches it until it ends (see Finish).
VestrelOutcome RunVestrel(const std::vector<std::string>& args, WORD showCommand = SW_SHOWNORMAL);

// The vestrel.exe under test: the one named by "--vestrel-exe=PATH" on the
// test program's command line, else the one the build put beside the
// tests' folder.
std::wstring VestrelExePath();

// Whether the window's client area comes to show exactly the progress
// text drawn at (5, 5) with the default font on the window colour, within
// ten seconds: a window is on screen a moment before its first paint.
bool ShowsProgressText(HWND window, std::string& why);
