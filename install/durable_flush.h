#pragma once

#include <windows.h>

// Puts a finished temporary file's content on its way to the disk, so that
// it is there once the next full flush on journalVolume returns (the
// journal's "moving" record is such a flush, and comes before the first
// move). Where Windows can write a file's data through without flushing the
// disk's own cache, that is all this does, and the one full flush after it
// empties the cache for every file at once. A file on another volume (a
// folder linked to another drive), and every file where Windows has no such
// flush or refuses it, is flushed whole here. False when that flush
// (FlushFileBuffers) fails, with the thread's last error.
bool FlushNewContent(HANDLE file, unsigned long journalVolume);

// The serial number of the volume that holds the open file; 0 if unknown.
unsigned long VolumeOf(HANDLE file);
