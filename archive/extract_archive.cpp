#include "archive/extract_archive.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "archive/copy_entry.h"
#include "archive/entry_name.h"
#include "archive/make_directory.h"
#include "archive/zip_handles.h"
#include "diag/message_box.h"
#include "diag/report.h"
#include "diag/text_codec.h"
#include "install/install_name.h"
#include "install/install_plan.h"
#include "install/journal.h"
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
        if (directory) {
            PlanDirectory(plan, target);
        } else if (PlanFile(plan, target, EntryName(entry), static_cast<zip_uint64_t>(index)) ==
                   PlanOutcome::Refused) {
            failedName = EntryName(entry);
            return PlanOutcome::Refused;
        }
    }
    return PlanOutcome::Planned;
}

void MakePlannedDirectories(const InstallPlan& plan)
{
    for (const std::wstring& directory : plan.directories)
        MakeDirectory(FullPath(plan, directory), WideToUtf8(directory));
}

EntryOutcome StageFile(zip_t* archive, const InstallPlan& plan, const PlannedFile& file)
{
    const char* name = file.name.c_str();
    Print("Unzipping [%s]...\n", name);
    Report(g_log, "Unzipping [%s]...", name);

    zip_stat_t entry;
    ZipEntryPtr data(zip_stat_index(archive, file.entry, 0, &entry) == 0
                         ? zip_fopen_index(archive, file.entry, 0)
                         : nullptr);
    if (!data) {
        Report(g_log, "Can't open [%s] in zip archive: %s", name, zip_strerror(archive));
        return EntryOutcome::Failed;
    }
    UniqueHandle out = CreateTempFile(plan, file);
    if (!out.IsValid())
        return EntryOutcome::WriteFailed;

    std::string readError;
    switch (CopyEntry(data.get(), entry, out.Get(), readError)) {
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
    if (!FlushFileBuffers(out.Get())) {
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

bool StageAllFiles(zip_t* archive, const InstallPlan& plan, std::string& failedName,
                   bool& writeFailed)
{
    for (const PlannedFile& file : plan.files) {
        const EntryOutcome outcome = StageFile(archive, plan, file);
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

// Brings the install back to the whole of one state (see SettleUpdate) and
// deletes the journal; what cannot be done yet is left to the next start.
void SettleAndCloseJournal(const InstallPlan& plan, JournalPhase phase, UniqueHandle& journal)
{
    if (SettleUpdate(plan, phase)) {
        DeleteJournal(journal);
        return;
    }
    Report(g_log, "The update is not settled yet; its journal [%s] is kept for the next start.",
           WideToUtf8(kJournalName).c_str());
    journal.Close();
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
    // From here on every file the update touches is in the journal, so that
    // a stop at any point is undone or completed by the next start.
    UniqueHandle journal = BeginJournal(plan);
    if (!journal.IsValid())
        return false;

    MakePlannedDirectories(plan);
    bool writeFailed = false;
    if (!StageAllFiles(archive.get(), plan, failedName, writeFailed)) {
        archive.reset();
        SettleAndCloseJournal(plan, JournalPhase::Staging, journal);
        if (writeFailed)
            ReportWriteFailure(failedName);
        return false;
    }
    if (zip_close(archive.get()) == -1) {
        printf("can't close zip archive\n");
        fflush(stdout);
        Report(g_log, "can't close zip archive");
        archive.reset();
        SettleAndCloseJournal(plan, JournalPhase::Staging, journal);
        return false;
    }
    archive.release();

    // A phase that could not be recorded may still be on disk in part: undo
    // as from the moves, which is right for every state before "moved".
    if (!RecordPhase(journal.Get(), JournalPhase::Moving)) {
        SettleAndCloseJournal(plan, JournalPhase::Moving, journal);
        return false;
    }
    if (!MoveIntoPlace(plan, failedName)) {
        SettleAndCloseJournal(plan, JournalPhase::Moving, journal);
        ReportWriteFailure(failedName);
        return false;
    }
    // Only once "moved" is on disk may the kept files go: before, the next
    // start would undo the update and need them.
    if (!RecordPhase(journal.Get(), JournalPhase::Moved)) {
        SettleAndCloseJournal(plan, JournalPhase::Moving, journal);
        return false;
    }
    Print("All files unzipped.");
    DeleteFileA(archivePath);
    SettleAndCloseJournal(plan, JournalPhase::Moved, journal);
    return true;
}
