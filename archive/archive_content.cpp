#include "archive/archive_content.h"

#include <cstdio>
#include <string>

#include "archive/copy_entry.h"
#include "archive/lzma_entry.h"
#include "diag/report.h"

namespace {

bool OpenEntry(ArchiveContent& content, const PlannedRead& read)
{
    const char* name = read.name.c_str();
    Print("Unzipping [%s]...\n", name);
    Report(g_log, "Unzipping [%s]...", name);

    zip_t* archive = content.archive.get();
    const bool found = zip_stat_index(archive, read.entry, 0, &content.stat) == 0;
    content.lzma = found && IsLzmaEntry(content.stat);
    content.entry.reset(found ? zip_fopen_index(archive, read.entry,
                                                content.lzma ? ZIP_FL_COMPRESSED : 0)
                              : nullptr);
    if (!content.entry) {
        Report(g_log, "Can't open [%s] in zip archive: %s", name, zip_strerror(archive));
        return false;
    }
    return true;
}

ContentOutcome CopyEntryTo(ArchiveContent& content, const PlannedRead& read, HANDLE out)
{
    std::string readError;
    switch (content.lzma ? CopyLzmaEntry(content.entry.get(), content.stat, out, readError)
                         : CopyEntry(content.entry.get(), content.stat, out, readError)) {
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
