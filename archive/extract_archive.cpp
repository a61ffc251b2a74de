#include "archive/extract_archive.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "archive/copy_entry.h"
#include "archive/entry_name.h"
#include "archive/make_directory.h"
#include "archive/staged_update.h"
#include "archive/zip_handles.h"
#include "diag/message_box.h"
#include "diag/report.h"
#include "diag/text_codec.h"

namespace {

enum class EntryOutcome {
    Done,
    Failed,      // reported
    WriteFailed, // the failed call is reported; the player must be told
};

// libzip names every entry it lists; a record without one reads as the
// empty name, which no check lets through.
const char* EntryName(const zip_stat_t& entry)
{
    return (entry.valid & ZIP_STAT_NAME) && entry.name ? entry.name : "";
}

ZipArchivePtr OpenArchive(const char* archivePath)
{
    // libzip reads narrow paths as UTF-8 on Windows.
    const std::string utf8Path = WideToUtf8(AnsiToWide(archivePath));
    int error = 0;
    ZipArchivePtr archive(zip_open(utf8Path.c_str(), 0, &error));
    if (!archive) {
        char text[100] = {};
        zip_error_to_str(text, sizeof text, error, errno);
        printf("Can't open zip archive: %s\n", text);
        fflush(stdout);
        Report(g_log, "Can't open zip archive: %s - [%s]", text, archivePath);
    }
    return archive;
}

// Every name is checked before anything is written: one bad name and the
// archive is refused whole.
bool HasOnlySafeNames(zip_t* archive, zip_int64_t count)
{
    for (zip_int64_t index = 0; index < count; ++index) {
        zip_stat_t entry;
        if (zip_stat_index(archive, static_cast<zip_uint64_t>(index), 0, &entry) != 0)
            continue;
        if (!IsSafeEntryName(EntryName(entry))) {
            Report(g_log, "Unsafe name in zip archive: [%s]", EntryName(entry));
            return false;
        }
    }
    return true;
}

EntryOutcome StageFileEntry(zip_t* archive, zip_uint64_t index, const zip_stat_t& entry,
                            StagedUpdate& update)
{
    Print("Unzipping [%s]...\n", entry.name);
    Report(g_log, "Unzipping [%s]...", entry.name);

    ZipEntryPtr data(zip_fopen_index(archive, index, 0));
    if (!data) {
        Report(g_log, "Can't open [%s] in zip archive: %s", entry.name, zip_strerror(archive));
        return EntryOutcome::Failed;
    }

    std::wstring target;
    Utf8ToWide(entry.name, target);
    MakeDirectoriesOnTheWay(entry.name, update.madeDirectories);
    UniqueHandle out = CreateStagedFile(update, entry.name, target);
    if (!out.IsValid())
        return EntryOutcome::WriteFailed;

    std::string readError;
    switch (CopyEntry(data.get(), entry, out.Get(), readError)) {
    case CopyOutcome::Copied:
        break;
    case CopyOutcome::ReadFailed:
        Report(g_log, "Can't read [%s] from zip archive: %s", entry.name, readError.c_str());
        return EntryOutcome::Failed;
    case CopyOutcome::WriteFailed:
        return EntryOutcome::WriteFailed;
    }
    if (!out.Close()) {
        ReportLastError("CloseHandle");
        return EntryOutcome::WriteFailed;
    }
    data.reset();

    Print("Finished unzipping [%s].\n\n", entry.name);
    Report(g_log, "Finished unzipping [%s].", entry.name);
    return EntryOutcome::Done;
}

EntryOutcome StageEntry(zip_t* archive, zip_uint64_t index, StagedUpdate& update,
                        std::string& name)
{
    zip_stat_t entry;
    if (zip_stat_index(archive, index, 0, &entry) != 0)
        return EntryOutcome::Done;
    name = EntryName(entry);
    if (!name.empty() && name.back() == '/') {
        MakeDirectoriesOnTheWay(name, update.madeDirectories);
        return EntryOutcome::Done;
    }
    return StageFileEntry(archive, index, entry, update);
}

// The player sees this one: the file named is the one that could not be written.
void ReportWriteFailure(const std::string& name)
{
    Report(g_log, "Terminal failure: Unable to write to file.\n");
    const std::string message = "There was an error writing the file: [" + name + "].";
    ShowErrorBoxUtf8(message);
    Report(g_log, "%s", message.c_str());
}

bool StageAllEntries(zip_t* archive, zip_int64_t count, StagedUpdate& update,
                     std::string& failedName, bool& writeFailed)
{
    for (zip_int64_t index = 0; index < count; ++index) {
        const EntryOutcome outcome =
            StageEntry(archive, static_cast<zip_uint64_t>(index), update, failedName);
        if (outcome != EntryOutcome::Done) {
            writeFailed = outcome == EntryOutcome::WriteFailed;
            return false;
        }
    }
    return true;
}

} // namespace

bool ExtractArchive(const char* archivePath)
{
    ZipArchivePtr archive = OpenArchive(archivePath);
    if (!archive)
        return false;

    const zip_int64_t count = zip_get_num_entries(archive.get(), ZIP_FL_UNCHANGED);
    Print("Unzipping [%lld] files...\n\n", static_cast<long long>(count));
    Report(g_log, "Unzipping [%lld] files...", static_cast<long long>(count));
    if (!HasOnlySafeNames(archive.get(), count))
        return false;

    StagedUpdate update;
    std::string failedName;
    bool writeFailed = false;
    if (!StageAllEntries(archive.get(), count, update, failedName, writeFailed)) {
        archive.reset();
        RollBackStagedUpdate(update);
        if (writeFailed)
            ReportWriteFailure(failedName);
        return false;
    }

    if (zip_close(archive.get()) == -1) {
        printf("can't close zip archive\n");
        fflush(stdout);
        Report(g_log, "can't close zip archive");
        RollBackStagedUpdate(update);
        return false;
    }
    archive.release();

    if (!CommitStagedUpdate(update, failedName)) {
        RollBackStagedUpdate(update);
        ReportWriteFailure(failedName);
        return false;
    }
    DeleteBackups(update);

    Print("All files unzipped.");
    DeleteFileA(archivePath);
    return true;
}
