#include "install/durable_flush.h"

#include <winternl.h>

#include <vector>

#include "diag/unique_handle.h"

namespace {

// FLUSH_FLAGS_NO_SYNC from the WDK's ntifs.h (Windows 8 and later): the
// file's data and metadata are written to the disk, and the disk is not
// asked to empty its own cache. (0x4 there is FLUSH_FLAGS_FILE_DATA_SYNC_ONLY,
// which does ask it, for every file.) "ZwFlushBuffersFileEx function",
// Microsoft Learn.
const ULONG kFlushFlagsNoSync = 0x00000002;
using FlushBuffersFileEx = NTSTATUS(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PIO_STATUS_BLOCK);

// FileFsDeviceInformation, FILE_FS_DEVICE_INFORMATION and FILE_REMOTE_DEVICE
// from the WDK's wdm.h; "NtQueryVolumeInformationFile function", Microsoft
// Learn.
const int kFileFsDeviceInformation = 4;
const ULONG kFileRemoteDevice = 0x00000010;
struct DeviceInformation {
    ULONG deviceType;
    ULONG characteristics;
};
using QueryVolumeInformationFile = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, int);

FARPROC NtdllFunction(const char* name)
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll ? GetProcAddress(ntdll, name) : nullptr;
}

// Whether this is Windows 8.1 or later (RtlGetVersion, which unlike
// GetVersionEx tells the truth to a program without a manifest entry for
// the version). NtFlushBuffersFileEx came with Windows 8, but its page of
// 2013 declared three parameters; the five this program passes are
// documented from 8.1 on, and on the 32-bit build a call with the wrong
// count would leave the stack off by 8 bytes.
bool IsWindows81OrLater()
{
    using GetVersion = NTSTATUS(NTAPI*)(OSVERSIONINFOW*);
    const auto get = reinterpret_cast<GetVersion>(
        reinterpret_cast<void*>(NtdllFunction("RtlGetVersion")));
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (!get || get(&version) < 0)
        return false;
    return version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 3);
}

// The flush without sync where it keeps its promise. Under Wine the disk
// is a POSIX file system, where only a flush of the file itself makes its
// data durable, so the full flush is kept there whatever Wine's ntdll offers.
FlushBuffersFileEx FlushWithoutSync()
{
    if (NtdllFunction("wine_get_version") || !IsWindows81OrLater())
        return nullptr;
    return reinterpret_cast<FlushBuffersFileEx>(
        reinterpret_cast<void*>(NtdllFunction("NtFlushBuffersFileEx")));
}

bool IsRemote(HANDLE file)
{
    const auto query = reinterpret_cast<QueryVolumeInformationFile>(
        reinterpret_cast<void*>(NtdllFunction("NtQueryVolumeInformationFile")));
    IO_STATUS_BLOCK status = {};
    DeviceInformation device = {};
    if (!query || query(file, &status, &device, sizeof device, kFileFsDeviceInformation) < 0)
        return true; // unknown: not to be relied on
    return (device.characteristics & kFileRemoteDevice) != 0;
}

std::wstring FinalPath(HANDLE file, DWORD flags)
{
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()), flags);
        if (length == 0)
            return std::wstring();
        if (length < path.size())
            return std::wstring(path.data(), length);
        path.resize(length + 1);
    }
}

} // namespace

std::wstring BatchFlushVolume(HANDLE file)
{
    wchar_t fileSystem[MAX_PATH + 1] = {};
    if (!GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, nullptr, fileSystem,
                                       MAX_PATH + 1) ||
        lstrcmpiW(fileSystem, L"NTFS") != 0 || IsRemote(file))
        return std::wstring();
    // The NT path is the volume's device followed by the path on it.
    const std::wstring full = FinalPath(file, VOLUME_NAME_NT);
    const std::wstring onVolume = FinalPath(file, VOLUME_NAME_NONE);
    if (full.empty() || onVolume.empty() || full.size() <= onVolume.size() ||
        full.compare(full.size() - onVolume.size(), onVolume.size(), onVolume) != 0)
        return std::wstring();
    return full.substr(0, full.size() - onVolume.size());
}

std::wstring FolderFlushVolume(const std::wstring& path)
{
    UniqueHandle folder(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return folder.IsValid() ? BatchFlushVolume(folder.Get()) : std::wstring();
}

bool FlushNewContent(HANDLE file, bool onJournalVolume)
{
    static const FlushBuffersFileEx flushWithoutSync = FlushWithoutSync();
    if (flushWithoutSync && onJournalVolume) {
        IO_STATUS_BLOCK status = {};
        if (flushWithoutSync(file, kFlushFlagsNoSync, nullptr, 0, &status) >= 0)
            return true;
    }
    return FlushFileBuffers(file) != FALSE;
}
