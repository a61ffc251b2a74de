#pragma once

#include <windows.h>
#include <zip.h>

#include <string>

#include "archive/copy_entry.h"

// LZMA entries (method 14), which libzip 1.7 does not decompress: their
// data is read raw through libzip and decoded here with liblzma.

// Whether the entry is an LZMA entry this reader takes (not encrypted).
bool IsLzmaEntry(const zip_stat_t& stat);

// Copies an LZMA entry, opened with ZIP_FL_COMPRESSED, into out as
// CopyEntry copies the others: decoded in pieces of at most 100 bytes, each
// written at once, nothing held whole. What it decodes must have the
// entry's stated size and CRC-32; an end-of-stream marker after the data
// is allowed, not needed. readError says why a read failed, in libzip's
// words.
CopyOutcome CopyLzmaEntry(zip_file_t* raw, const zip_stat_t& stat, HANDLE out,
                          std::string& readError);
