#include "tests/support/test_support.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::wstring UniqueTempName(const wchar_t* prefix, const std::wstring& folder = std::wstring())
{
    static unsigned counter = 0;
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wostringstream name;
    name << (folder.empty() ? std::wstring(temp) : folder + L"\\") << prefix
         << GetCurrentProcessId() << L"-" << GetTickCount() << L"-" << ++counter;
    return name.str();
}

} // namespace

namespace {
const std::regex kLogStamp(R"(\d\d-\d\d \d\d:\d\d:\d{5} :: )");
} // namespace

std::string ReplaceLogStamps(const std::string& log, const std::string& replacement)
{
    return std::regex_replace(log, kLogStamp, replacement);
}

size_t CountLogStamps(const std::string& log)
{
    return static_cast<size_t>(std::distance(
        std::sregex_iterator(log.begin(), log.end(), kLogStamp), std::sregex_iterator()));
}

std::string Ansi(const std::wstring& wide)
{
    const int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &ansi[0], n, nullptr, nullptr);
    ansi.pop_back();
    return ansi;
}

std::string QuotedPathLine(const std::wstring& path)
{
    std::string quoted = "\"";
    for (char c : Ansi(path)) {
        if (c == '\\' || c == '"')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"\n";
}

std::wstring Widen(const std::string& utf8)
{
    if (utf8.empty())
        return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                      nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], n);
    return wide;
}

std::string Narrow(const std::wstring& wide)
{
    if (wide.empty())
        return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &utf8[0], n,
                        nullptr, nullptr);
    return utf8;
}

ScopedWorkDir::ScopedWorkDir()
{
    m_path = UniqueTempName(L"vestrel-test-", TestVolumeFolder());
    CreateDirectoryW(m_path.c_str(), nullptr);
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    m_previous = previous;
    SetCurrentDirectoryW(m_path.c_str());
}

ScopedWorkDir::~ScopedWorkDir()
{
    SetCurrentDirectoryW(m_previous.c_str());
    std::error_code ignored;
    // Read-only files would stop remove_all; tests make some on purpose.
    for (auto it = fs::recursive_directory_iterator(m_path, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored))
        SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove_all(m_path, ignored);
}

std::wstring TestVolumeFolder()
{
    const char* folder = std::getenv("VESTREL_TEST_WORK_ROOT");
    return folder ? Widen(folder) : std::wstring();
}

std::string TestVolumeKind()
{
    const char* kind = std::getenv("VESTREL_TEST_VOLUME");
    return kind ? kind : "folder";
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::ifstream in(fs::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    // fusefat cuts no open file short (its ftruncate does nothing), so on
    // that volume a file is written anew.
    if (TestVolumeKind() == "fat32")
        DeleteFileW(path.c_str());
    std::ofstream out(fs::path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool NobodyHolds(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

std::vector<std::wstring> ListFilesBelow(const std::wstring& dir)
{
    std::vector<std::wstring> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file(ec))
            files.push_back(fs::relative(it->path(), dir, ec).native());
    }
    std::sort(files.begin(), files.end());
    return files;
}

StdoutCapture::StdoutCapture()
{
    m_file = UniqueTempName(L"vestrel-stdout-");
    fflush(stdout);
    m_savedFd = _dup(_fileno(stdout));
    const int fd = _wopen(m_file.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
    _dup2(fd, _fileno(stdout));
    _close(fd);
}

StdoutCapture::~StdoutCapture()
{
    Finish();
}

std::string StdoutCapture::Finish()
{
    if (m_savedFd < 0)
        return std::string();
    fflush(stdout);
    _dup2(m_savedFd, _fileno(stdout));
    _close(m_savedFd);
    m_savedFd = -1;
    std::string captured = ReadFileBytes(m_file);
    DeleteFileW(m_file.c_str());
    return captured;
}

namespace {
thread_local MessageBoxWatcher* t_watcher = nullptr;
const UINT_PTR kAnswerTimer = 0x5e57;
} // namespace

MessageBoxWatcher::Box ReadMessageBox(HWND box)
{
    MessageBoxWatcher::Box read;
    char buffer[2048] = {};
    GetWindowTextA(box, buffer, sizeof buffer);
    read.caption = buffer;
    buffer[0] = '\0';
    GetDlgItemTextA(box, 0xFFFF, buffer, sizeof buffer);
    read.text = buffer;
    // The icon is a static control holding an icon; a box without one has none or an empty one.
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        char className[16] = {};
        GetClassNameA(child, className, sizeof className);
        if (_stricmp(className, "Static") == 0 &&
            (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON && IsWindowVisible(child) &&
            SendMessageA(child, STM_GETICON, 0, 0) != 0)
            read.hasIcon = true;
    }
    return read;
}

MessageBoxWatcher::MessageBoxWatcher()
{
    t_watcher = this;
    m_hook = SetWindowsHookExA(WH_CBT, CbtProc, nullptr, GetCurrentThreadId());
}

MessageBoxWatcher::~MessageBoxWatcher()
{
    if (m_hook)
        UnhookWindowsHookEx(m_hook);
    t_watcher = nullptr;
}

LRESULT CALLBACK MessageBoxWatcher::CbtProc(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_ACTIVATE && t_watcher) {
        HWND window = reinterpret_cast<HWND>(wParam);
        char className[32] = {};
        GetClassNameA(window, className, sizeof className);
        // The box's text is set after activation; answer it from its own loop.
        if (strcmp(className, "#32770") == 0)
            SetTimer(window, kAnswerTimer, 10, AnswerBox);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

void CALLBACK MessageBoxWatcher::AnswerBox(HWND box, UINT, UINT_PTR, DWORD)
{
    KillTimer(box, kAnswerTimer);
    MessageBoxWatcher* watcher = t_watcher;
    if (watcher && std::find(watcher->m_answered.begin(), watcher->m_answered.end(), box) ==
                       watcher->m_answered.end()) {
        watcher->m_answered.push_back(box);
        watcher->m_boxes.push_back(ReadMessageBox(box));
    }
    PostMessageA(box, WM_COMMAND, IDOK, 0);
}
