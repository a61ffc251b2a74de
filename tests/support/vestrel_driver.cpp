#include "tests/support/vestrel_driver.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <algorithm>

#include "tests/support/programs.h"

namespace {

// Quotes one argument so that the C runtime splits it back as it was.
std::string QuoteArgument(const std::string& arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

struct WindowsOfProcess {
    DWORD pid;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<WindowsOfProcess*>(parameter);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == search->pid)
        search->found.push_back(window);
    return TRUE;
}

std::string ClassOf(HWND window)
{
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::string TitleOf(HWND window)
{
    char title[256] = {};
    GetWindowTextA(window, title, sizeof title);
    return title;
}

std::vector<HWND> TopLevelWindowsOf(DWORD pid)
{
    WindowsOfProcess search{pid, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

} // namespace

std::wstring VestrelExePath()
{
    // "--vestrel-exe=PATH" runs the same tests against another build, such
    // as the shipped 32-bit one.
    const std::wstring option = L"--vestrel-exe=";
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring given;
    for (int i = 1; args && i < count; ++i)
        if (std::wstring(args[i]).compare(0, option.size(), option) == 0)
            given = args[i] + option.size();
    LocalFree(args);
    if (!given.empty())
        return given;
    const std::wstring tests = TestProgramDir();
    return tests.substr(0, tests.find_last_of(L"\\/")) + L"\\vestrel.exe";
}

VestrelProcess::VestrelProcess(const std::vector<std::string>& args, WORD showCommand,
                               const std::wstring& exe)
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    static unsigned counter = 0;
    m_stdoutFile = std::wstring(temp) + L"vestrel-stdout-" + std::to_wstring(GetCurrentProcessId()) +
                   L"-" + std::to_wstring(++counter) + L".txt";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(m_stdoutFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);

    // The log is rewritten at every start; fusefat cannot cut it short
    // (see WriteFileBytes), so there it goes first.
    if (TestVolumeKind() == "fat32")
        DeleteFileW(L"vestrel_logs.txt");
    std::string commandLine = "\"" + Narrow(exe.empty() ? VestrelExePath() : exe) + "\"";
    for (const std::string& arg : args)
        commandLine += " " + QuoteArgument(arg);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.wShowWindow = showCommand;
    startup.hStdOutput = out;
    startup.hStdError = out;
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        if (attempt > 0) {
            printf("CreateProcess %s failed with error %lu; trying again\n", commandLine.c_str(),
                   GetLastError());
            Sleep(200);
        }
        started = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                 nullptr, &startup, &m_process);
    }
    EXPECT_TRUE(started) << commandLine << ": error " << GetLastError();
    CloseHandle(out);
}

VestrelProcess::~VestrelProcess()
{
    if (Running())
        Kill();
    if (m_process.hProcess)
        CloseHandle(m_process.hProcess);
    if (m_process.hThread)
        CloseHandle(m_process.hThread);
    DeleteFileW(m_stdoutFile.c_str());
}

bool VestrelProcess::Running() const
{
    return m_process.hProcess && WaitForSingleObject(m_process.hProcess, 0) == WAIT_TIMEOUT;
}

void VestrelProcess::Kill()
{
    if (!m_process.hProcess)
        return;
    TerminateProcess(m_process.hProcess, 99);
    EXPECT_EQ(WaitForSingleObject(m_process.hProcess, 10000), WAIT_OBJECT_0)
        << "the killed process did not end";
}

void VestrelProcess::LookAtWindows(VestrelOutcome& outcome, std::vector<HWND>& answered)
{
    for (HWND window : TopLevelWindowsOf(m_process.dwProcessId)) {
        const std::string className = ClassOf(window);
        if (className == "#32770") {
            // A box is answered once it is on screen with its text set.
            if (!IsWindowVisible(window) ||
                std::find(answered.begin(), answered.end(), window) != answered.end())
                continue;
            MessageBoxWatcher::Box box = ReadMessageBox(window);
            if (box.text.empty())
                continue;
            answered.push_back(window);
            outcome.boxes.push_back(box);
            PostMessageA(window, WM_COMMAND, IDOK, 0);
        } else if (className == "Torvik Vestrel") {
            auto seen = std::find_if(outcome.windows.begin(), outcome.windows.end(),
                                     [window](const SeenWindow& w) { return w.handle == window; });
            if (seen == outcome.windows.end())
                seen = outcome.windows.insert(outcome.windows.end(), SeenWindow{});
            seen->handle = window;
            seen->className = className;
            seen->title = TitleOf(window);
            GetWindowRect(window, &seen->rect);
            seen->visible = seen->visible || IsWindowVisible(window);
        }
    }
}

VestrelOutcome VestrelProcess::Finish(DWORD timeoutMs)
{
    VestrelOutcome outcome;
    if (!m_process.hProcess)
        return outcome; // it never started
    std::vector<HWND> answered;
    const DWORD start = GetTickCount();
    while (WaitForSingleObject(m_process.hProcess, 20) == WAIT_TIMEOUT) {
        LookAtWindows(outcome, answered);
        if (GetTickCount() - start > timeoutMs)
            return outcome;
    }
    outcome.exited = true;
    GetExitCodeProcess(m_process.hProcess, &outcome.exitCode);
    outcome.standardOutput = ReadFileBytes(m_stdoutFile);
    return outcome;
}

VestrelOutcome RunVestrel(const std::vector<std::string>& args, WORD showCommand)
{
    VestrelProcess vestrel(args, showCommand);
    return vestrel.Finish();
}

HWND VestrelProcess::WaitForWindow(const char* className, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (GetTickCount() - start <= timeoutMs) {
        for (HWND window : TopLevelWindowsOf(m_process.dwProcessId))
            if (ClassOf(window) == className && IsWindowVisible(window))
                return window;
        if (WaitForSingleObject(m_process.hProcess, 20) != WAIT_TIMEOUT)
            return nullptr;
    }
    return nullptr;
}

namespace {

// A 32-bit top-down bitmap in a memory DC, released with the object.
struct Canvas {
    Canvas(int width, int height) : width(width), height(height)
    {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        dc = CreateCompatibleDC(nullptr);
        bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&pixels),
                                  nullptr, 0);
        old = SelectObject(dc, bitmap);
    }
    ~Canvas()
    {
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    DWORD At(int x, int y) const { return pixels[y * width + x] & 0xFFFFFF; }

    int width, height;
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ old = nullptr;
    DWORD* pixels = nullptr;
};


bool ShowsProgressTextNow(HWND window, std::string& why)
{
    static const char kText[] = "The patcher's update is being unpacked...";
    RECT client = {};
    GetClientRect(window, &client);
    const int width = client.right, height = client.bottom;
    if (width <= 0 || height <= 0) {
        why = "empty client area";
        return false;
    }
    Canvas shown(width, height), expected(width, height);
    HDC windowDc = GetDC(window);
    BitBlt(shown.dc, 0, 0, width, height, windowDc, 0, 0, SRCCOPY);
    ReleaseDC(window, windowDc);

    RECT all = {0, 0, width, height};
    FillRect(expected.dc, &all, GetSysColorBrush(COLOR_WINDOW));
    TextOutA(expected.dc, 5, 5, kText, static_cast<int>(sizeof kText - 1));

    const DWORD background = expected.At(width - 1, height - 1);
    int differing = 0, inked = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            differing += shown.At(x, y) != expected.At(x, y);
            inked += expected.At(x, y) != background;
        }
    why = std::to_string(differing) + " of " + std::to_string(width * height) +
          " pixels differ; the text inks " + std::to_string(inked);
    return differing == 0 && inked > 0;
}

} // namespace

bool ShowsProgressText(HWND window, std::string& why)
{
    const DWORD start = GetTickCount();
    while (!ShowsProgressTextNow(window, why)) {
        if (GetTickCount() - start > 10000)
            return false;
        Sleep(20);
    }
    return true;
}
