// Bench only: vestrel.exe whose new content is never flushed, to measure
// what the flushes cost. Linked ahead of the program's own library, this
// file takes the place of install/durable_flush.cpp.
#include "install/durable_flush.h"

bool FlushNewContent(HANDLE, unsigned long)
{
    return true;
}

unsigned long VolumeOf(HANDLE)
{
    return 0;
}
