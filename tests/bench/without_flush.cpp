// Bench only: vestrel.exe whose new content is never flushed, to measure
// what the flushes cost. Linked ahead of the program's own library, this
// file takes the place of install/durable_flush.cpp.
#include "install/durable_flush.h"

bool FlushNewContent(HANDLE, bool)
{
    return true;
}

std::wstring BatchFlushVolume(HANDLE)
{
    return std::wstring();
}

std::wstring FolderFlushVolume(const std::wstring&)
{
    return std::wstring();
}
