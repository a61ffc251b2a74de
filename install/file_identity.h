#pragma once

#include <cstdint>
#include <string>

#include "install/retry_while_held.h"

// What tells that a file or folder on disk is the one an update wrote, kept
// or made, so that recovery changes nothing else, whatever its journal says.

// A file as it was found, without reading it: its size and last-write time.
// A kept file is a second name of the file it keeps (or a copy given its
// time), so it carries the same stamp.
struct FileStamp {
    std::uint64_t size = 0;
    std::uint64_t lastWrite = 0; // FILETIME, 100 ns since 1601
};

inline bool operator==(const FileStamp& a, const FileStamp& b)
{
    return a.size == b.size && a.lastWrite == b.lastWrite;
}

// What is at path now, and the stamp of a file found there. Link is a file
// that is a symbolic link (or another name-surrogate reparse point, as mod
// managers deploy files): its stamp is the link's own, while every call that
// copies or links it reaches the file it points to. A link to a folder is
// the folder. Unknown when Windows cannot say (the thread's last error says
// why): a decision that rests on it must not be taken. A name whose file is
// deleted but still held is waited for with the given patience.
enum class Found { Nothing, File, ReadOnlyFile, Link, Directory, Unknown };
Found WhatIsAt(const std::wstring& path, FileStamp* stamp = nullptr,
               Patience patience = Patience::NewFile);

enum class Identity {
    Same,      // the file is the one asked about
    Different, // something else is there: a folder, other content, another stamp
    Missing,   // nothing is there
    Unknown,   // Windows cannot say (reported): a decision must not rest on it
};

// Whether path holds a file with exactly this stamp.
Identity CompareStamp(const std::wstring& path, const FileStamp& stamp, Patience patience);

// Whether path holds a file of this size whose bytes have this CRC-32. The
// file is read only when its size matches; patience is for a reader that
// holds it.
Identity CompareContent(const std::wstring& path, std::uint64_t size, std::uint32_t crc,
                        Patience patience = Patience::NewFile);

// The size and CRC-32 of the file at path, read whole. False when it cannot
// be read (reported).
bool ContentOf(const std::wstring& path, std::uint64_t& size, std::uint32_t& crc,
               Patience patience = Patience::NewFile);

// Clears the read-only attribute of the file at path, which must be proven
// the update's (or the updater's own): it is in the way of its deletion or
// replacement. False when the file was not read-only. The thread's last
// error is kept.
bool ClearReadOnly(const std::wstring& path);
