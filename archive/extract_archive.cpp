#include "archive/extract_archive.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "archive/copy_entry.h"
#include "archive/entry_name.h"
#include "archive/lzma_entry.h"
#include "archive/make_directory.h"
#include "archive/zip_handles.h"
#include "diag/message_box.h"
#include "diag/report.h"
#include "diag/text_codec.h"
#include "install/durable_flush.h"
#include "install/file_identity.h"
#include "install/install_name.h"
#include "install/install_plan.h"
#include "install/journal.h"
#include "install/settle_update.h"
#include "install/staged_update.h"

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

bool MakesDirectory(const zip_stat_t& entry)
{
    return IsDirectoryEntry(EntryName(entry), entry.size);
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
        std::wstring target;
        if (!EntryTarget(EntryName(entry), MakesDirectory(entry), target)) {
            Report(g_log, "Unsafe name in zip archive: [%s]", EntryName(entry));
            return false;
        }
    }
    return true;
}

// Where every entry goes, settled before anything is written. On refusal,
// failedName is the entry that cannot be written.
PlanOutcome PlanEntries(zip_t* archive, zip_int64_t count, InstallPlan& plan,
                        std::string& failedName)
{
    for (zip_int64_t index = 0; index < count; ++index) {
        zip_stat_t entry;
        if (zip_stat_index(archive, static_cast<zip_uint64_t>(index), 0, &entry) != 0)
            continue;
        const bool directory = MakesDirectory(entry);
        std::wstring target;
        EntryTarget(EntryName(entry), directory, target);
        // libzip checks the content against this CRC-32 as it reads it.
        const std::uint32_t crc = (entry.valid & ZIP_STAT_CRC) ? entry.crc : 0;
        const PlanOutcome planned =
            directory ? PlanDirectory(plan, target, EntryName(entry))
                      : PlanFile(plan, target, EntryName(entry), static_cast<zip_uint64_t>(index),
                                 entry.size, crc);
        if (planned == PlanOutcome::Refused) {
            failedName = EntryName(entry);
            return PlanOutcome::Refused;
        }
    }
    return PlanOutcome::Planned;
}

size_t Depth(const PlannedDirectory& directory)
{
    return static_cast<size_t>(std::count(directory.folder.begin(), directory.folder.end(), L'\\'));
}

// Makes the planned folders and notes which ones this update made, so that
// an undo removes those and no other. With a journal they are made a level
// at a time, each under its staging name in its parent (StagedFolderName),
// recorded, and only then renamed, empty: a stop at any point leaves no
// folder that the next start cannot tell for the update's. An archive of
// folders alone has no journal and makes them where they go. False with the
// name that cannot be written: the journal's, or a folder's.
bool MakePlannedDirectories(InstallPlan& plan, HANDLE journal, std::string& failedName)
{
    size_t levels = 0;
    for (const PlannedDirectory& directory : plan.directories)
        levels = std::max(levels, Depth(directory) + 1);
    for (size_t level = 0; level < levels; ++level) {
        std::vector<size_t> made;
        for (size_t i = 0; i < plan.directories.size(); ++i) {
            PlannedDirectory& directory = plan.directories[i];
            if (Depth(directory) != level)
                continue;
            const std::wstring path =
                FullPath(plan, journal ? StagedFolderName(plan, i) : directory.folder);
            if (MakeDirectory(path, directory.name)) {
                directory.id = FolderId(path);
                made.push_back(i);
            }
        }
        if (!journal || made.empty())
            continue;
        if (!RecordMadeFolders(journal, plan)) {
            failedName = WideToUtf8(kJournalName);
            return false;
        }
        if (!PutFoldersInPlace(plan, made, failedName))
            return false;
    }
    return true;
}

// volume is the journal's: see FlushNewContent.
EntryOutcome StageFile(zip_t* archive, const InstallPlan& plan, const PlannedFile& file,
                       const std::wstring& volume)
{
    const char* name = file.name.c_str();
    Print("Unzipping [%s]...\n", name);
    Report(g_log, "Unzipping [%s]...", name);

    zip_stat_t entry;
    const bool found = zip_stat_index(archive, file.entry, 0, &entry) == 0;
    const bool lzma = found && IsLzmaEntry(entry);
    ZipEntryPtr data(found ? zip_fopen_index(archive, file.entry, lzma ? ZIP_FL_COMPRESSED : 0)
                           : nullptr);
    if (!data) {
        Report(g_log, "Can't open [%s] in zip archive: %s", name, zip_strerror(archive));
        return EntryOutcome::Failed;
    }
    UniqueHandle out = CreateTempFile(plan, file);
    if (!out.IsValid())
        return EntryOutcome::WriteFailed;

    std::string readError;
    switch (lzma ? CopyLzmaEntry(data.get(), entry, out.Get(), readError)
                 : CopyEntry(data.get(), entry, out.Get(), readError)) {
    case CopyOutcome::Copied:
        break;
    case CopyOutcome::ReadFailed:
        Report(g_log, "Can't read [%s] from zip archive: %s", name, readError.c_str());
        return EntryOutcome::Failed;
    case CopyOutcome::WriteFailed:
        return EntryOutcome::WriteFailed;
    }
    // The new content must be on disk before its name can replace the old
    // file, or a power cut after the update could leave names without data.
    if (!FlushNewContent(out.Get(), volume)) {
        ReportLastError("FlushFileBuffers");
        return EntryOutcome::WriteFailed;
    }
    if (!out.Close()) {
        ReportLastError("CloseHandle");
        return EntryOutcome::WriteFailed;
    }
    data.reset();

    Print("Finished unzipping [%s].\n\n", name);
    Report(g_log, "Finished unzipping [%s].", name);
    return EntryOutcome::Done;
}

bool StageAllFiles(zip_t* archive, const InstallPlan& plan, const std::wstring& volume,
                   std::string& failedName, bool& writeFailed)
{
    for (const PlannedFile& file : plan.files) {
        const EntryOutcome outcome = StageFile(archive, plan, file, volume);
        if (outcome != EntryOutcome::Done) {
            failedName = file.name;
            writeFailed = outcome == EntryOutcome::WriteFailed;
            return false;
        }
    }
    return true;
}

// The player sees this one: the file named is the one that could not be written.
void ReportWriteFailure(const std::string& name)
{
    Report(g_log, "Terminal failure: Unable to write to file.\n");
    const std::string message = "There was an error writing the file: [" + name + "].";
    ShowErrorBoxUtf8(message);
    Report(g_log, "%s", message.c_str());
}

// Nothing in the archive was changed, so closing only releases it.
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

// An archive of folders alone changes no file: it needs no journal.
bool MakeFoldersOnly(ZipArchivePtr& archive, InstallPlan& plan, const char* archivePath)
{
    std::string ignored;
    MakePlannedDirectories(plan, nullptr, ignored);
    if (!CloseArchive(archive))
        return false;
    Print("All files unzipped.");
    DeleteFileA(archivePath);
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

    InstallPlan plan;
    std::string failedName;
    if (!StartPlan(plan))
        return false;
    if (PlanEntries(archive.get(), count, plan, failedName) == PlanOutcome::Refused) {
        ReportWriteFailure(failedName);
        return false;
    }
    if (plan.files.empty())
        return MakeFoldersOnly(archive, plan, archivePath);

    // From here on every file and folder the update touches is in the
    // journal, so that a stop at any point is undone or completed by the
    // next start.
    const std::string journalName = WideToUtf8(kJournalName);
    UniqueHandle journal;
    switch (BeginJournal(plan, journal)) {
    case JournalStart::Begun:
        break;
    case JournalStart::InTheWay:
        return false;
    case JournalStart::NotWritten:
        ReportWriteFailure(journalName);
        return false;
    }
    if (!MakePlannedDirectories(plan, journal.Get(), failedName)) {
        SettleAndCloseJournal(plan, JournalPhase::Staging, journal);
        ReportWriteFailure(failedName);
        return false;
    }

    bool writeFailed = false;
    if (!StageAllFiles(archive.get(), plan, BatchFlushVolume(journal.Get()), failedName,
                       writeFailed)) {
        archive.reset();
        SettleAndCloseJournal(plan, JournalPhase::Staging, journal);
        if (writeFailed)
            ReportWriteFailure(failedName);
        return false;
    }
    if (!CloseArchive(archive)) {
        SettleAndCloseJournal(plan, JournalPhase::Staging, journal);
        return false;
    }

    if (!KeepReplacedFiles(plan, failedName)) {
        SettleAndCloseJournal(plan, JournalPhase::Staging, journal);
        ReportWriteFailure(failedName);
        return false;
    }
    // A phase that could not be recorded may still be on disk in part: undo
    // as from the moves, which is right for every state before "moved".
    if (!RecordPhase(journal.Get(), plan, JournalPhase::Moving)) {
        SettleAndCloseJournal(plan, JournalPhase::Moving, journal);
        ReportWriteFailure(journalName);
        return false;
    }
    if (!MoveIntoPlace(plan, failedName)) {
        SettleAndCloseJournal(plan, JournalPhase::Moving, journal);
        ReportWriteFailure(failedName);
        return false;
    }
    // Every file is in place: from here the update is never undone by this
    // run. If its end cannot be recorded, the archive stays for the case
    // that the next start undoes it.
    if (!CompleteUpdate(plan, journal)) {
        ReportWriteFailure(journalName);
        return false;
    }
    Print("All files unzipped.");
    DeleteFileA(archivePath);
    return true;
}
