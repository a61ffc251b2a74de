#pragma once

#include <zip.h>

#include "archive/zip_handles.h"
#include "install/transaction.h"

// The update archive as the source of the install's new content: each
// planned file's entry, announced, read in pieces of 100 bytes and checked
// against its size and CRC-32 (copy_entry.h, lzma_entry.h, zstd_entry.h).
struct ArchiveContent {
    ZipArchivePtr archive;
    ZipEntryPtr entry; // the one entry open, if any
    zip_stat_t stat = {};
    // Who decodes the open entry: libzip, or, for what libzip 1.7 reads
    // only raw, a decoder of ours.
    enum class Decoder { Libzip, Lzma, Zstd } decoder = Decoder::Libzip;
};

// The source that reads content's archive; content outlives it.
ContentSource SourceOf(ArchiveContent& content);

// Closes an archive that was only read, which only releases it. False when
// that fails (reported).
bool CloseArchive(ZipArchivePtr& archive);
