#include "archive/archive_content.h"

#include <cstdio>
#include <string>

#include "archive/copy_entry.h"
#include "archive/lzma_entry.h"
#include "archive/zstd_entry.h"
#include "diag/report.h"

namespace {

using Decoder = ArchiveContent::Decoder;

Decoder DecoderOf(const zip_stat_t& stat)
{
    if (IsLzmaEntry(stat))
        return Decoder::Lzma;
    if (IsZstdEntry(stat))
        return Decoder::Zstd;
    return Decoder::Libzip;
}

CopyOutcome Copy(ArchiveContent& content, HANDLE out, std::string& readError)
{
    zip_file_t* entry = content.entry.get();
    switch (content.decoder) {
    case Decoder::Lzma:
        return CopyLzmaEntry(entry, content.stat, out, readError);
    case Decoder::Zstd:
        return CopyZstdEntry(entry, content.stat, out, readError);
    case Decoder::Libzip:
        break;
    }
    return CopyEntry(entry, content.stat, out, readError);
}

bool OpenEntry(ArchiveContent& content, const PlannedRead& read)
{
    const char* name = read.name.c_str();
    Print("Unzipping [%s]...\n", name);
    Report(g_log, "Unzipping [%s]...", name);

    zip_t* archive = content.archive.get();
    const bool found = zip_stat_index(archive, read.entry, 0, &content.stat) == 0;
    content.decoder = found ? DecoderOf(content.stat) : Decoder::Libzip;
    const zip_flags_t raw = content.decoder == Decoder::Libzip ? 0 : ZIP_FL_COMPRESSED;
    content.entry.reset(found ? zip_fopen_index(archive, read.entry, raw) : nullptr);
    if (!content.entry) {
        Report(g_log, "Can't open [%s] in zip archive: %s", name, zip_strerror(archive));
        return false;
    }
    return true;
}

ContentOutcome CopyEntryTo(ArchiveContent& content, const PlannedRead& read, HANDLE out)
{
    std::string readError;
    switch (Copy(content, out, readError)) {
    case CopyOutcome::Copied:
        return ContentOutcome::Written;
    case CopyOutcome::ReadFailed:
        Report(g_log, "Can't read [%s] from zip archive: %s", read.name.c_str(), readError.c_str());
        return ContentOutcome::ReadFailed;
    case CopyOutcome::WriteFailed:
        break;
    }
    return ContentOutcome::WriteFailed;
}

void EntryDone(ArchiveContent& content, const PlannedRead& read)
{
    content.entry.reset();
    Print("Finished unzipping [%s].\n\n", read.name.c_str());
    Report(g_log, "Finished unzipping [%s].", read.name.c_str());
}

bool EndReading(ArchiveContent& content, bool allRead)
{
    content.entry.reset();
    if (!allRead) {
        content.archive.reset();
        return true;
    }
    return CloseArchive(content.archive);
}

} // namespace

ContentSource SourceOf(ArchiveContent& content)
{
    ContentSource source;
    source.open = [&content](const PlannedRead& read) { return OpenEntry(content, read); };
    source.copy = [&content](const PlannedRead& read, HANDLE out) {
        return CopyEntryTo(content, read, out);
    };
    source.done = [&content](const PlannedRead& read) { EntryDone(content, read); };
    source.close = [&content](bool allRead) { return EndReading(content, allRead); };
    return source;
}

bool CloseArchive(ZipArchivePtr& archive)
{
    if (zip_close(archive.get()) == -1) {
        printf("can't close zip archive\n");
        fflush(stdout);
        Report(g_log, "can't close zip archive");
        archive.reset();
        return false;
    }
    archive.release();
    return true;
}
