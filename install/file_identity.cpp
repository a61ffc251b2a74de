#include "install/file_identity.h"

#include <windows.h>
#include <zlib.h>

#include <cstdio>
#include <vector>

#include "diag/report.h"
#include "diag/unique_handle.h"
#include "install/retry_while_held.h"

namespace {

std::uint64_t Join(DWORD high, DWORD low)
{
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

// The CRC-32 of the open file's bytes from its start.
bool ReadCrc(HANDLE file, std::uint32_t& crc)
{
    std::vector<unsigned char> buffer(64 * 1024);
    uLong sum = crc32(0L, Z_NULL, 0);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
            ReportLastError("ReadFile");
            return false;
        }
        if (read == 0)
            break;
        sum = crc32(sum, buffer.data(), static_cast<uInt>(read));
    }
    crc = static_cast<std::uint32_t>(sum);
    return true;
}

// What a comparison learns from the path alone: Same when a file is there,
// whose stamp is then in found, and the comparison goes on.
Identity LookForFile(const std::wstring& path, FileStamp& found)
{
    switch (WhatIsAt(path, &found)) {
    case Found::Nothing:
        return Identity::Missing;
    case Found::Unknown:
        ReportLastError("GetFileAttributesEx");
        return Identity::Unknown;
    case Found::Directory:
        return Identity::Different;
    default:
        return Identity::Same;
    }
}

} // namespace

Found WhatIsAt(const std::wstring& path, FileStamp* stamp)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return Found::Nothing;
        SetLastError(error); // for the report of the caller
        return Found::Unknown;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return Found::Directory;
    if (stamp) {
        stamp->size = Join(data.nFileSizeHigh, data.nFileSizeLow);
        stamp->lastWrite = Join(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
    }
    return data.dwFileAttributes & FILE_ATTRIBUTE_READONLY ? Found::ReadOnlyFile : Found::File;
}

Identity CompareStamp(const std::wstring& path, const FileStamp& stamp)
{
    FileStamp found;
    const Identity there = LookForFile(path, found);
    if (there != Identity::Same)
        return there;
    return found == stamp ? Identity::Same : Identity::Different;
}

Identity CompareContent(const std::wstring& path, std::uint64_t size, std::uint32_t crc)
{
    FileStamp found;
    const Identity there = LookForFile(path, found);
    if (there != Identity::Same)
        return there;
    if (found.size != size)
        return Identity::Different;
    UniqueHandle file;
    RetryWhileFileHeld([&] {
        file = UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        return file.IsValid();
    });
    if (!file.IsValid()) {
        ReportLastError("CreateFile");
        return Identity::Unknown;
    }
    std::uint32_t foundCrc = 0;
    if (!ReadCrc(file.Get(), foundCrc))
        return Identity::Unknown;
    return foundCrc == crc ? Identity::Same : Identity::Different;
}

std::string FolderId(const std::wstring& path)
{
    UniqueHandle folder(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!folder.IsValid() || !GetFileInformationByHandle(folder.Get(), &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return std::string();
    char text[32] = {};
    snprintf(text, sizeof text, "%08lx-%016llx", static_cast<unsigned long>(info.dwVolumeSerialNumber),
             static_cast<unsigned long long>(Join(info.nFileIndexHigh, info.nFileIndexLow)));
    return text;
}
