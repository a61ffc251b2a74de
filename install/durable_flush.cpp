#include "install/durable_flush.h"

#include <winternl.h>

namespace {

// NtFlushBuffersFileEx with FLUSH_FLAGS_NO_SYNC writes the data and the
// metadata to the disk without asking the disk to empty its cache (Windows
// 10 1709 and later).
const ULONG kFlushNoSync = 0x00000004;
using FlushBuffersFileEx = NTSTATUS(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PIO_STATUS_BLOCK);

FARPROC NtdllFunction(const char* name)
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll ? GetProcAddress(ntdll, name) : nullptr;
}

// The flush without sync where it keeps its promise. Under Wine the disk
// is a POSIX file system, where only a flush of the file itself makes its
// data durable, so the full flush is kept there whatever Wine's ntdll offers.
FlushBuffersFileEx FlushWithoutSync()
{
    if (NtdllFunction("wine_get_version"))
        return nullptr;
    return reinterpret_cast<FlushBuffersFileEx>(
        reinterpret_cast<void*>(NtdllFunction("NtFlushBuffersFileEx")));
}

} // namespace

unsigned long VolumeOf(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(file, &info) ? info.dwVolumeSerialNumber : 0;
}

bool FlushNewContent(HANDLE file, unsigned long journalVolume)
{
    static const FlushBuffersFileEx flushWithoutSync = FlushWithoutSync();
    if (flushWithoutSync && journalVolume != 0 && VolumeOf(file) == journalVolume) {
        IO_STATUS_BLOCK status = {};
        if (flushWithoutSync(file, kFlushNoSync, nullptr, 0, &status) >= 0)
            return true;
    }
    return FlushFileBuffers(file) != FALSE;
}
