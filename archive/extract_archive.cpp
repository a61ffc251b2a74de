#include "archive/extract_archive.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <string>

#include "archive/archive_content.h"
#include "archive/entry_name.h"
#include "archive/zip_handles.h"
#include "diag/message_box.h"
#include "diag/report.h"
#include "diag/text_codec.h"
#include "install/install_name.h"
#include "install/install_plan.h"
#include "install/recovery.h"
#include "install/transaction.h"
#include "install/win_paths.h"

namespace {

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

// The player sees this one: the file named is the one that could not be written.
void ReportWriteFailure(const std::string& name)
{
    Report(g_log, "Terminal failure: Unable to write to file.\n");
    const std::string message = "There was an error writing the file: [" + name + "].";
    ShowErrorBoxUtf8(message);
    Report(g_log, "%s", message.c_str());
}

// Whether the archive is the one the stopped update of plan came from: it
// brings every file the plan names, each last with the size and CRC-32 the
// plan has, and no other file. Fills plan.reads with its entries for them,
// in order, those before each file's last as ones only to check.
bool MatchArchive(zip_t* archive, zip_int64_t count, InstallPlan& plan, std::string& why)
{
    std::map<std::wstring, size_t> byTarget;
    for (size_t i = 0; i < plan.files.size(); ++i)
        byTarget[FoldedName(plan.files[i].target)] = i;
    std::map<size_t, zip_stat_t> last;
    std::map<size_t, size_t> lastRead;
    for (zip_int64_t index = 0; index < count; ++index) {
        zip_stat_t entry;
        if (zip_stat_index(archive, static_cast<zip_uint64_t>(index), 0, &entry) != 0 ||
            MakesDirectory(entry))
            continue;
        std::wstring target;
        const auto at = EntryTarget(EntryName(entry), false, target)
                            ? byTarget.find(FoldedName(ResolveShortNames(plan.root, target)))
                            : byTarget.end();
        if (at == byTarget.end()) {
            why = "it brings [" + std::string(EntryName(entry)) + "], which that update did not";
            return false;
        }
        last[at->second] = entry;
        const auto earlier = lastRead.find(at->second);
        if (earlier != lastRead.end())
            plan.reads[earlier->second].checkOnly = true;
        lastRead[at->second] = plan.reads.size();
        plan.reads.push_back(PlannedRead{at->second, entry.index, EntryName(entry), false});
    }
    for (size_t i = 0; i < plan.files.size(); ++i) {
        const PlannedFile& file = plan.files[i];
        const auto entry = last.find(i);
        if (entry == last.end() || entry->second.size != file.size ||
            !(entry->second.valid & ZIP_STAT_CRC) || entry->second.crc != file.crc) {
            why = "[" + WideToUtf8(file.target) + "] is not in it with the content that update brought";
            return false;
        }
    }
    return true;
}

} // namespace

bool CompleteStoppedUpdate(const char* archivePath)
{
    ArchiveContent content;
    content.archive = OpenArchive(archivePath);
    if (!content.archive)
        return false;
    zip_t* archive = content.archive.get();
    const zip_int64_t count = zip_get_num_entries(archive, ZIP_FL_UNCHANGED);
    auto match = [&](InstallPlan& plan, std::string& why) {
        if (HasOnlySafeNames(archive, count))
            return MatchArchive(archive, count, plan, why);
        why = "it holds a name no update writes";
        return false;
    };
    bool finished = false;
    if (CompleteInterruptedUpdate(match, SourceOf(content), finished) != RecoveryOutcome::Recovered)
        return false;
    // Settled back after all, the install is whole, and the archive is
    // unpacked as any other.
    if (!finished)
        return ExtractArchive(archivePath);
    DeleteFileA(archivePath);
    return true;
}

bool ExtractArchive(const char* archivePath)
{
    ArchiveContent content;
    content.archive = OpenArchive(archivePath);
    if (!content.archive)
        return false;
    zip_t* archive = content.archive.get();

    const zip_int64_t count = zip_get_num_entries(archive, ZIP_FL_UNCHANGED);
    Print("Unzipping [%lld] files...\n\n", static_cast<long long>(count));
    Report(g_log, "Unzipping [%lld] files...", static_cast<long long>(count));
    if (!HasOnlySafeNames(archive, count))
        return false;

    InstallPlan plan;
    std::string failedName;
    if (!StartPlan(plan))
        return false;
    if (PlanEntries(archive, count, plan, failedName) == PlanOutcome::Refused) {
        ReportWriteFailure(failedName);
        return false;
    }
    const InstallResult installed = RunInstall(plan, SourceOf(content));
    if (!installed.done) {
        if (!installed.unwritable.empty())
            ReportWriteFailure(installed.unwritable);
        return false;
    }
    Print("All files unzipped.");
    DeleteFileA(archivePath);
    return true;
}
