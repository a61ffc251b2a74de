#pragma once

#include <windows.h>

#include <string>

// Puts a finished temporary file's content on its way to the disk, so that
// it is there once the next full flush on the journal's volume returns (the
// journal's "moving" record is such a flush, and comes before the first
// move). Where Windows can write a file's data through without flushing the
// disk's own cache, and the file is provably on the journal's volume
// (onJournalVolume: its folder's FolderFlushVolume is the journal's), that
// is all this does, and the one full flush after it empties the cache for
// every file at once. Every other file (another volume, a share, a file
// system or Windows without that flush) is flushed whole here. False when
// that flush (FlushFileBuffers) fails, with the thread's last error.
bool FlushNewContent(HANDLE file, bool onJournalVolume);

// The volume of the open file as a batch flush can rely on it: the device
// of a local NTFS volume ("\Device\HarddiskVolume3"), which no other
// volume shares while it is mounted. Empty for any other file system, a
// share, or when Windows cannot say.
std::wstring BatchFlushVolume(HANDLE file);

// BatchFlushVolume of the folder at path (the journal's, which is the
// working directory).
std::wstring FolderFlushVolume(const std::wstring& path);
