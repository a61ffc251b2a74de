#pragma once

#include <windows.h>
#include <zip.h>

#include <string>

// Every entry's data moves in pieces of at most this many bytes.
const zip_uint64_t kPieceSize = 100;

// libzip's text for one of its error codes.
std::string LibzipText(int code);

enum class CopyOutcome {
    Copied,
    ReadFailed,  // readError says why, in libzip's words
    WriteFailed, // already reported with ReportLastError
};

// Copies one open entry into out in pieces of at most 100 bytes, one read
// and one write each, nothing buffered in between. After the stated size
// one more read must find the end of the data: that read is where libzip
// checks the CRC-32. A short, failed or overlong read ends the copy. stat
// is the entry's record (its size and CRC-32). With no out (null), the
// entry is read and checked the same way, and written nowhere.
CopyOutcome CopyEntry(zip_file_t* entry, const zip_stat_t& stat, HANDLE out, std::string& readError);
