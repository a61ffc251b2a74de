#pragma once

#include <windows.h>

// Puts a finished temporary file's content on its way to the disk, so that
// it is there once the next full flush of the same volume returns (the
// journal's "moving" record is such a flush, and comes before the first
// move). Where Windows can write a file's data through without flushing the
// disk's own cache, that is all this does, and the one full flush after it
// empties the cache for every file at once; elsewhere the file is flushed
// whole here. False with the thread's last error, which names the call.
bool FlushNewContent(HANDLE file, const char*& failedCall);
