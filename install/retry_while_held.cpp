#include "install/retry_while_held.h"

#include <windows.h>
#include <winternl.h>

#include <chrono>
#include <thread>

#include "diag/report.h"
#include "diag/unique_handle.h"

namespace {

// STATUS_DELETE_PENDING (ntstatus.h): the file is deleted and goes once its
// last handle closes. Win32 reports it only as ERROR_ACCESS_DENIED, so it is
// asked of NtCreateFile ("NtCreateFile function", winternl.h).
const NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056L);

using CreateFileNt = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                      PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);

// The NT name of a Win32 path: "\??\" before a drive or a "\\?\" path, and
// "\??\UNC\" before a share.
std::wstring NtName(const std::wstring& path)
{
    if (path.compare(0, 4, L"\\\\?\\") == 0)
        return L"\\??\\" + path.substr(4);
    if (path.compare(0, 2, L"\\\\") == 0)
        return L"\\??\\UNC\\" + path.substr(2);
    std::wstring full(GetFullPathNameW(path.c_str(), 0, nullptr, nullptr), L'\0');
    const DWORD length =
        full.empty() ? 0 : GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    return length && length < full.size() ? L"\\??\\" + full.substr(0, length) : std::wstring();
}

bool IsDeletePending(const std::wstring& path)
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto create = reinterpret_cast<CreateFileNt>(
        reinterpret_cast<void*>(ntdll ? GetProcAddress(ntdll, "NtCreateFile") : nullptr));
    std::wstring name = NtName(path);
    if (!create || name.empty())
        return false;
    UNICODE_STRING unicode = {static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                              static_cast<USHORT>(name.size() * sizeof(wchar_t)), &name[0]};
    OBJECT_ATTRIBUTES attributes = {};
    attributes.Length = sizeof attributes;
    attributes.ObjectName = &unicode;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    IO_STATUS_BLOCK status = {};
    HANDLE file = nullptr;
    // FILE_OPEN (1), FILE_OPEN_FOR_BACKUP_INTENT (0x4000): a file or folder.
    const NTSTATUS opened = create(&file, FILE_READ_ATTRIBUTES, &attributes, &status, nullptr, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 1,
                                   0x4000, nullptr, 0);
    if (opened >= 0)
        CloseHandle(file);
    return opened == kStatusDeletePending;
}

Denial ClassifyDenial(const std::wstring& path, bool folder)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (IsDeletePending(path))
            return Denial::DeletePending;
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Denial::Gone
                                                                              : Denial::NotAllowed;
    }
    const bool isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (isFolder != folder)
        return Denial::NotAllowed;
    // A read-only folder cannot be removed either.
    if (attributes & FILE_ATTRIBUTE_READONLY)
        return Denial::ReadOnly;
    // Where the rights allow the change, what denied the call is a hold.
    UniqueHandle probe = OpenToChange(path, folder);
    if (probe.IsValid())
        return Denial::Held;
    const DWORD error = GetLastError();
    if (IsSharingViolation(error))
        return Denial::Held;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return Denial::Gone;
    return IsDeletePending(path) ? Denial::DeletePending : Denial::NotAllowed;
}

// Whether subject, a file of the player's, is what a sharing violation came
// from: a program holds it without sharing, or runs from it.
bool HoldsPlayersFile(const std::wstring& subject)
{
    UniqueHandle probe = OpenToChange(subject, false);
    return !probe.IsValid() && IsSharingViolation(GetLastError());
}

std::chrono::milliseconds WaitFor(Patience patience)
{
    switch (patience) {
    case Patience::None:
        return std::chrono::milliseconds(0);
    case Patience::InUse:
        return std::chrono::seconds(2);
    case Patience::NewFile:
        break;
    }
    return std::chrono::seconds(60);
}

// How long this failure may be waited for: not at all where it is no hold.
// A hold of the player's file is the player's programs', wherever it shows.
Patience PatienceFor(DWORD error, Denial denial, Patience patience, const std::wstring& subject,
                     const HeldRules& rules)
{
    const Patience players =
        rules.players && patience == Patience::NewFile ? Patience::InUse : patience;
    if (IsSharingViolation(error))
        return rules.players && HoldsPlayersFile(subject) ? players : patience;
    if (rules.alsoHeld != 0 && error == rules.alsoHeld)
        return patience;
    if (error != ERROR_ACCESS_DENIED)
        return Patience::None;
    switch (denial) {
    case Denial::Held:
        return players;
    case Denial::DeletePending:
        return patience;
    case Denial::Gone:
    case Denial::ReadOnly:
    case Denial::NotAllowed:
        break;
    }
    return Patience::None;
}

} // namespace

UniqueHandle OpenToChange(const std::wstring& path, bool folder)
{
    return UniqueHandle(CreateFileW(path.c_str(), folder ? DELETE : DELETE | FILE_WRITE_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

bool IsSharingViolation(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

Denial WhyDenied(const std::wstring& path, bool folder)
{
    const DWORD error = GetLastError();
    const Denial denial = ClassifyDenial(path, folder);
    SetLastError(error);
    return denial;
}

bool RetryWhileFileHeld(Patience patience, const std::wstring& subject,
                        const std::function<bool()>& attempt, const HeldRules& rules)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    bool told = false;
    bool triedAgain = false;
    for (;;) {
        if (attempt())
            return true;
        const DWORD error = GetLastError();
        const Denial denial =
            error == ERROR_ACCESS_DENIED ? WhyDenied(subject, rules.folder) : Denial::Held;
        // Gone since it was denied, as a pending deletion that has just
        // ended: what stood in the way may be over, so it is tried again.
        if (denial == Denial::Gone && !triedAgain) {
            triedAgain = true;
            continue;
        }
        const Patience waiting = PatienceFor(error, denial, patience, subject, rules);
        const Clock::time_point now = Clock::now();
        const Clock::time_point giveUp = start + WaitFor(waiting);
        if (waiting == Patience::None || now >= giveUp) {
            SetLastError(error);
            return false;
        }
        // The progress window does not answer meanwhile: the log says why
        // the update stands still.
        if (!told && waiting == Patience::NewFile && now - start >= std::chrono::seconds(1)) {
            Report(g_log, "A file is held by another program (error %lu); waiting up to %lld "
                          "seconds for it.",
                   static_cast<unsigned long>(error),
                   static_cast<long long>(
                       std::chrono::duration_cast<std::chrono::seconds>(giveUp - start).count()));
            told = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        SetLastError(error);
    }
}
