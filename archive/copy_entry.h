#pragma once

#include <windows.h>
#include <zip.h>

#include <functional>
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

// Decodes the next at most wanted bytes of an entry into piece: how many,
// 0 where the data has ended, or -1 where it is damaged (with readError
// set, or left empty for libzip's "Compressed data invalid").
using PieceDecoder = std::function<zip_int64_t(unsigned char* piece, size_t wanted, std::string& readError)>;

// Copies an entry that libzip reads raw and decode decodes (LZMA, zstd)
// as CopyEntry copies the others: in pieces of at most 100 bytes, each
// written at once, nothing held whole; what it decodes must have the
// entry's stated size and CRC-32.
CopyOutcome CopyDecoded(const zip_stat_t& stat, HANDLE out, std::string& readError,
                        const PieceDecoder& decode);
