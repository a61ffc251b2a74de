#include "install/file_identity.h"

#include <windows.h>

#include "diag/report.h"
#include "install/file_crc.h"
#include "diag/unique_handle.h"

namespace {

std::uint64_t Join(DWORD high, DWORD low)
{
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

UniqueHandle OpenToRead(const std::wstring& path, Patience patience)
{
    UniqueHandle file;
    RetryWhileFileHeld(patience, path, [&] {
        file = UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        return file.IsValid();
    });
    if (!file.IsValid())
        ReportLastError("CreateFile");
    return file;
}

// A name-surrogate reparse point (IsReparseTagNameSurrogate in winnt.h):
// a symbolic link or a mount point, as opposed to a file that is only
// stored differently (compressed by WOF, held in the cloud). The tag is in
// dwReserved0 of the find data ("WIN32_FIND_DATAW structure", Microsoft
// Learn).
bool IsNameSurrogate(const std::wstring& path)
{
    const UniqueFind find(path);
    return find.Found() && (find.Data().dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           (find.Data().dwReserved0 & 0x20000000) != 0;
}

// What a comparison learns from the path alone: Same when a file is there,
// whose stamp is then in found, and the comparison goes on.
Identity LookForFile(const std::wstring& path, FileStamp& found, Patience patience)
{
    switch (WhatIsAt(path, &found, patience)) {
    case Found::Nothing:
        return Identity::Missing;
    case Found::Unknown:
        ReportLastError("GetFileAttributesEx");
        return Identity::Unknown;
    case Found::Directory:
    case Found::Link:
        return Identity::Different;
    default:
        return Identity::Same;
    }
}

} // namespace

Found WhatIsAt(const std::wstring& path, FileStamp* stamp, Patience patience)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    auto look = [&] { return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != FALSE; };
    bool seen = look();
    // A file deleted while a program still holds it (a scanner that shares
    // deletion) is gone but for its name, and Windows answers "access
    // denied" about it until it is let go: waited for, as such a file is.
    // One that has gone meanwhile is looked at again.
    if (!seen && GetLastError() == ERROR_ACCESS_DENIED) {
        const Denial denial = WhyDenied(path);
        if (denial == Denial::Gone)
            seen = look();
        else if (denial == Denial::DeletePending)
            seen = RetryWhileFileHeld(patience, path, [&] {
                return look() || GetLastError() == ERROR_FILE_NOT_FOUND ||
                       GetLastError() == ERROR_PATH_NOT_FOUND;
            }) && look();
    }
    if (!seen) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return Found::Nothing;
        SetLastError(error); // for the report of the caller
        return Found::Unknown;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return Found::Directory;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsNameSurrogate(path))
        return Found::Link;
    if (stamp) {
        stamp->size = Join(data.nFileSizeHigh, data.nFileSizeLow);
        stamp->lastWrite = Join(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
    }
    return data.dwFileAttributes & FILE_ATTRIBUTE_READONLY ? Found::ReadOnlyFile : Found::File;
}

Identity CompareStamp(const std::wstring& path, const FileStamp& stamp, Patience patience)
{
    FileStamp found;
    const Identity there = LookForFile(path, found, patience);
    if (there != Identity::Same)
        return there;
    return found == stamp ? Identity::Same : Identity::Different;
}

Identity CompareContent(const std::wstring& path, std::uint64_t size, std::uint32_t crc,
                        Patience patience)
{
    FileStamp found;
    const Identity there = LookForFile(path, found, patience);
    if (there != Identity::Same)
        return there;
    if (found.size != size)
        return Identity::Different;
    const UniqueHandle file = OpenToRead(path, patience);
    std::uint32_t foundCrc = 0;
    std::uint64_t read = 0;
    if (!file.IsValid() || !ReadWithCrc(file.Get(), foundCrc, read))
        return Identity::Unknown;
    return foundCrc == crc ? Identity::Same : Identity::Different;
}

bool ContentOf(const std::wstring& path, std::uint64_t& size, std::uint32_t& crc,
               Patience patience)
{
    const UniqueHandle file = OpenToRead(path, patience);
    return file.IsValid() && ReadWithCrc(file.Get(), crc, size);
}

bool ClearReadOnly(const std::wstring& path)
{
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesW(path.c_str());
    const bool cleared = attributes != INVALID_FILE_ATTRIBUTES &&
                         (attributes & FILE_ATTRIBUTE_READONLY) &&
                         SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    SetLastError(error);
    return cleared;
}
