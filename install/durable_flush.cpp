#include "install/durable_flush.h"

#include <winternl.h>

namespace {

// NtFlushBuffersFileEx with FLUSH_FLAGS_NO_SYNC writes the data and the
// metadata to the disk without asking the disk to empty its cache (Windows
// 10 1709 and later).
const ULONG kFlushNoSync = 0x00000004;
using FlushBuffersFileEx = NTSTATUS(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PIO_STATUS_BLOCK);
using StatusToError = ULONG(NTAPI*)(NTSTATUS);

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

bool FlushNewContent(HANDLE file, const char*& failedCall)
{
    static const FlushBuffersFileEx flushWithoutSync = FlushWithoutSync();
    if (flushWithoutSync) {
        IO_STATUS_BLOCK status = {};
        const NTSTATUS result = flushWithoutSync(file, kFlushNoSync, nullptr, 0, &status);
        if (result >= 0)
            return true;
        failedCall = "NtFlushBuffersFileEx";
        // ntdll has the status's error code wherever it has the flush.
        const auto toError = reinterpret_cast<StatusToError>(
            reinterpret_cast<void*>(NtdllFunction("RtlNtStatusToDosError")));
        SetLastError(toError ? toError(result) : ERROR_WRITE_FAULT);
        return false;
    }
    failedCall = "FlushFileBuffers";
    return FlushFileBuffers(file) != FALSE;
}
