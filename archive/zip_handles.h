#pragma once

#include <zip.h>

#include <memory>

// An archive we only read: discarding it releases it without writing.
struct ZipArchiveDiscard {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
using ZipArchivePtr = std::unique_ptr<zip_t, ZipArchiveDiscard>;

struct ZipEntryClose {
    void operator()(zip_file_t* entry) const { zip_fclose(entry); }
};
using ZipEntryPtr = std::unique_ptr<zip_file_t, ZipEntryClose>;
