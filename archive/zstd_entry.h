#pragma once

#include <windows.h>
#include <zip.h>

#include <string>

#include "archive/copy_entry.h"

// zstd entries (method 93, and 20, the number first given to it), which
// libzip 1.7 does not decompress: their data is read raw through libzip
// and decoded here with libzstd.

// Whether the entry is a zstd entry this reader takes (not encrypted).
bool IsZstdEntry(const zip_stat_t& stat);

// Copies a zstd entry, opened with ZIP_FL_COMPRESSED, into out as
// CopyEntry copies the others: decoded in pieces of at most 100 bytes, each
// written at once. The data is one frame or more (skippable frames among
// them), and must end where a frame ends, with nothing decoded beyond the
// entry's stated size; what is decoded must have its CRC-32. A frame whose
// window is beyond what the decoder takes (128 MiB) is refused before any
// of it is decoded, and readError names the window it asks for.
CopyOutcome CopyZstdEntry(zip_file_t* raw, const zip_stat_t& stat, HANDLE out,
                          std::string& readError);
