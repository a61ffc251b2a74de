#include "install/settle_update.h"

#include <windows.h>

#include <algorithm>
#include <set>
#include <vector>

#include "diag/report.h"
#include "diag/text_codec.h"
#include "diag/unique_handle.h"
#include "install/file_identity.h"
#include "install/install_name.h"
#include "install/staged_folders.h"
#include "install/staged_update.h"
#include "install/win_paths.h"

namespace {

// Whether target holds what the update was to replace: nothing, for a new
// file; else the file it found, known as it is kept (its stamp, or the
// CRC-32 of the copy). A read-only file is the player's to keep.
Identity IsWhatItReplaces(const InstallPlan& plan, const PlannedFile& file, Patience patience)
{
    const std::wstring target = FullPath(plan, file.target);
    const Found there = WhatIsAt(target, nullptr, patience);
    if (there == Found::Unknown || there == Found::ReadOnlyFile)
        return there == Found::Unknown ? Identity::Unknown : Identity::Different;
    if (file.kept.empty())
        return there == Found::Nothing ? Identity::Same : Identity::Different;
    return file.keptAsCopy ? CompareContent(target, file.keptStamp.size, file.keptCrc, patience)
                           : CompareStamp(target, file.keptStamp, patience);
}

// One pass that settles an update: the plan, how long to wait for files
// others hold, and what the pass has left as it is (a folder that holds one
// of those is not empty).
struct Settling {
    const InstallPlan& plan;
    Patience patience;
    std::vector<std::wstring> leftAlone;
    bool finished = false; // it could not be undone, and was finished instead
};

// What is at path; a state Windows cannot tell is reported, since the
// undo must not guess.
Found LookAt(const Settling& settling, const std::wstring& path)
{
    const Found found = WhatIsAt(path, nullptr, settling.patience);
    if (found == Found::Unknown)
        ReportLastError("GetFileAttributesEx");
    return found;
}

bool Delete(const Settling& settling, const std::wstring& name)
{
    return DeleteIfThere(settling.plan, name, settling.patience);
}

SettleOutcome LeftAlone(Settling& settling, const std::wstring& name, const char* why)
{
    Report(g_log, "Left [%s] as it is: %s.", WideToUtf8(name).c_str(), why);
    settling.leftAlone.push_back(FoldedName(name));
    return SettleOutcome::LeftSomeAlone;
}

// How far an outcome is from whole: a pass ends as its worst file does.
int Severity(SettleOutcome outcome)
{
    switch (outcome) {
    case SettleOutcome::Settled:
        return 0;
    case SettleOutcome::LeftSomeAlone:
        return 1;
    case SettleOutcome::Blocked:
        return 2;
    case SettleOutcome::Stuck:
        break;
    }
    return 3;
}

SettleOutcome Worse(SettleOutcome a, SettleOutcome b)
{
    return Severity(a) >= Severity(b) ? a : b;
}

// Adds one file's outcome to the pass's. One held file's wait is enough:
// once it has run out, the rest of the pass waits for nothing, so that a
// holder that does not let go costs one wait, not one for every file it
// holds; the next start goes on from there.
SettleOutcome AddAndStopWaitingIfBlocked(Settling& settling, SettleOutcome total,
                                         SettleOutcome one)
{
    if (one == SettleOutcome::Blocked)
        settling.patience = Patience::None;
    return Worse(total, one);
}

bool PutBack(const Settling& settling, const PlannedFile& file)
{
    const std::wstring kept = FullPath(settling.plan, file.kept);
    const std::wstring target = FullPath(settling.plan, file.target);
    // What was kept was not read-only (the plan refuses such files), and
    // what it replaces is the update's content.
    ClearReadOnly(kept);
    if (RetryWhileFileHeld(settling.patience, target, [&] {
            auto move = [&] {
                return MoveFileExW(kept.c_str(), target.c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
            };
            return move() || (GetLastError() == ERROR_ACCESS_DENIED && ClearReadOnly(target) && move());
        }))
        return true;
    ReportLastError("MoveFileEx");
    Report(g_log, "Can't restore [%s]; its previous content is kept in [%s].",
           WideToUtf8(file.target).c_str(), WideToUtf8(file.kept).c_str());
    return false;
}

// Whether the kept file is the one the update kept: a second name of the
// file it found (its stamp), or the copy it made of it (the copy's size and
// CRC-32).
Identity IdentifyKeptFile(const Settling& settling, const PlannedFile& file)
{
    const std::wstring kept = FullPath(settling.plan, file.kept);
    if (file.keptAsCopy)
        return CompareContent(kept, file.keptStamp.size, file.keptCrc, settling.patience);
    return CompareStamp(kept, file.keptStamp, settling.patience);
}

// A kept file that holds exactly what its target still holds loses nothing
// when it goes, whoever made it. That is how a copy is known that was made
// before its CRC-32 was on record.
bool DuplicatesTarget(const Settling& settling, const PlannedFile& file)
{
    const std::wstring target = FullPath(settling.plan, file.target);
    FileStamp targetStamp, keptStamp;
    const Found kept = WhatIsAt(FullPath(settling.plan, file.kept), &keptStamp, settling.patience);
    const Found there = WhatIsAt(target, &targetStamp, settling.patience);
    if ((kept != Found::File && kept != Found::ReadOnlyFile) ||
        (there != Found::File && there != Found::ReadOnlyFile) || keptStamp.size != targetStamp.size)
        return false;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    return ContentOf(target, size, crc, settling.patience) &&
           CompareContent(FullPath(settling.plan, file.kept), size, crc, settling.patience) ==
               Identity::Same;
}

// IdentifyKeptFile, where the target was not replaced (targetUntouched):
// a kept file that holds exactly what the target holds is one to go too.
Identity IdentifyKeptFile(const Settling& settling, const PlannedFile& file, bool targetUntouched)
{
    const Identity identity = IdentifyKeptFile(settling, file);
    if (identity == Identity::Different && targetUntouched && DuplicatesTarget(settling, file))
        return Identity::Same;
    return identity;
}

// What settling one file comes to where its kept file is not the one the
// update kept (kept): nothing to do for one that is gone, a block for one
// that cannot be told, and one that is not the update's is left alone.
SettleOutcome OutcomeWithoutKeptFile(Settling& settling, const PlannedFile& file, Identity kept)
{
    switch (kept) {
    case Identity::Missing:
        return SettleOutcome::Settled;
    case Identity::Unknown:
        return SettleOutcome::Blocked;
    default:
        return LeftAlone(settling, file.kept, "it is not the file the update kept");
    }
}

SettleOutcome DeleteKeptFile(Settling& settling, const PlannedFile& file, bool targetUntouched)
{
    const Identity kept = IdentifyKeptFile(settling, file, targetUntouched);
    if (kept != Identity::Same)
        return OutcomeWithoutKeptFile(settling, file, kept);
    // A kept second name of the target shares the target's read-only
    // attribute, which the target keeps.
    const std::wstring target = FullPath(settling.plan, file.target);
    const bool targetReadOnly = targetUntouched && WhatIsAt(target, nullptr, settling.patience) == Found::ReadOnlyFile;
    const bool deleted = Delete(settling, file.kept);
    if (targetReadOnly && WhatIsAt(target, nullptr, settling.patience) == Found::File)
        SetFileAttributesW(target.c_str(), GetFileAttributesW(target.c_str()) | FILE_ATTRIBUTE_READONLY);
    return deleted ? SettleOutcome::Settled : SettleOutcome::Blocked;
}

// A file's staging files, the kept one first: a stop in between must not
// leave a kept file without its temporary one, which would read as moved.
SettleOutcome DeleteStagingFiles(Settling& settling, const PlannedFile& file, bool targetUntouched)
{
    SettleOutcome outcome = SettleOutcome::Settled;
    if (!file.kept.empty()) {
        if (!Delete(settling, CopyName(file.temp)))
            return SettleOutcome::Blocked;
        outcome = DeleteKeptFile(settling, file, targetUntouched);
        if (outcome == SettleOutcome::Blocked)
            return outcome;
    }
    return Delete(settling, file.temp) ? outcome : SettleOutcome::Blocked;
}

// Undoes one file, whichever step its update stopped at. While the
// temporary file is there, the target was not replaced: only the staging
// files go. Once it is gone, the target holds the new content if it is the
// update's at all: then the kept file is put back, or a new file removed.
// A kept file already put back leaves neither behind.
SettleOutcome UndoFile(Settling& settling, const PlannedFile& file)
{
    const InstallPlan& plan = settling.plan;
    switch (LookAt(settling, FullPath(plan, file.temp))) {
    case Found::Unknown:
        return SettleOutcome::Blocked;
    case Found::Nothing:
        break;
    default:
        return DeleteStagingFiles(settling, file, true);
    }
    const Identity target =
        CompareContent(FullPath(plan, file.target), file.size, file.crc, settling.patience);
    if (target == Identity::Unknown)
        return SettleOutcome::Blocked;
    if (file.kept.empty()) {
        if (target == Identity::Missing)
            return SettleOutcome::Settled;
        if (target == Identity::Different)
            return LeftAlone(settling, file.target, "it is not what the update wrote");
        return Delete(settling, file.target) ? SettleOutcome::Settled : SettleOutcome::Blocked;
    }
    const Identity kept = IdentifyKeptFile(settling, file, false);
    if (kept != Identity::Same)
        return OutcomeWithoutKeptFile(settling, file, kept);
    if (target == Identity::Different) {
        settling.leftAlone.push_back(FoldedName(file.kept));
        return LeftAlone(settling, file.target,
                         ("it is not what the update wrote. What the update kept of it stays in [" +
                          WideToUtf8(file.kept) + "]")
                             .c_str());
    }
    return PutBack(settling, file) ? SettleOutcome::Settled : SettleOutcome::Blocked;
}

// Every name the plan gives in folder, upper-cased, but those this pass
// left as they are: files (targets and their staging files), or folders
// (the update's own, under their names and their staging names).
std::set<std::wstring> NamesIn(const Settling& settling, const std::wstring& folder, bool folders)
{
    std::set<std::wstring> names;
    const std::wstring prefix = FoldedName(folder + L"\\");
    auto add = [&](const std::wstring& name) {
        const std::wstring folded = FoldedName(name);
        if (folded.compare(0, prefix.size(), prefix) == 0 &&
            folded.find(L'\\', prefix.size()) == std::wstring::npos &&
            std::find(settling.leftAlone.begin(), settling.leftAlone.end(), folded) ==
                settling.leftAlone.end())
            names.insert(folded);
    };
    const InstallPlan& plan = settling.plan;
    for (size_t i = 0; folders && i < plan.directories.size(); ++i) {
        add(plan.directories[i].folder);
        add(StagedFolderName(plan.directories[i].folder, plan.token, i));
    }
    for (size_t i = 0; !folders && i < plan.files.size(); ++i) {
        const PlannedFile& file = plan.files[i];
        for (const std::wstring& name : {file.target, file.temp, file.kept, CopyName(file.temp)})
            add(name);
    }
    return names;
}

// Whether folder holds nothing but files and folders of the plan that this
// pass did not leave: ones it deleted that another program still holds (a
// virus scanner or an indexer that shares deletion), which Windows keeps
// listed until they are let go.
bool HoldsOnlyDeletedFiles(const Settling& settling, const std::wstring& folder)
{
    const std::set<std::wstring> names = NamesIn(settling, folder, false);
    const std::set<std::wstring> folders = NamesIn(settling, folder, true);
    UniqueFind find(FullPath(settling.plan, folder + L"\\*"));
    if (!find.Found())
        return false;
    bool onlyDeleted = true;
    do {
        const std::wstring name = find.Data().cFileName;
        if (name == L"." || name == L"..")
            continue;
        const bool isFolder = (find.Data().dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        onlyDeleted = (isFolder ? folders : names).count(FoldedName(folder + L"\\" + name)) != 0;
    } while (onlyDeleted && find.Next());
    return onlyDeleted;
}

// Removes folder, which is the update's, once it is empty. A deleted file
// that a scanner still holds keeps it from going for a while: waited for,
// and if it stays, the folder is left to the next start with the journal.
SettleOutcome RemoveEmptyFolder(Settling& settling, const std::wstring& folder)
{
    const std::wstring path = FullPath(settling.plan, folder);
    auto remove = [&path] { return RemoveDirectoryW(path.c_str()) != FALSE; };
    if (remove())
        return SettleOutcome::Settled;
    if (GetLastError() == ERROR_DIR_NOT_EMPTY && !HoldsOnlyDeletedFiles(settling, folder))
        return LeftAlone(settling, folder, "it holds what the update did not bring");
    HeldRules rules;
    rules.alsoHeld = ERROR_DIR_NOT_EMPTY;
    rules.folder = true;
    if (RetryWhileFileHeld(settling.patience, path, remove, rules))
        return SettleOutcome::Settled;
    ReportLastError("RemoveDirectory");
    Report(g_log, "Can't remove the folder [%s].", WideToUtf8(folder).c_str());
    return SettleOutcome::Blocked;
}

// A folder the update made is at its staging name, which is the update's
// own, until its id is on record and it is renamed; then at its own name,
// where only its id tells it from one that is not the update's.
SettleOutcome RemoveFolder(Settling& settling, const PlannedDirectory& directory,
                           const std::wstring& staged)
{
    const InstallPlan& plan = settling.plan;
    switch (LookAt(settling, FullPath(plan, staged))) {
    case Found::Directory:
        return RemoveEmptyFolder(settling, staged);
    case Found::Unknown:
        return SettleOutcome::Blocked;
    default:
        break;
    }
    const std::wstring path = FullPath(plan, directory.folder);
    switch (LookAt(settling, path)) {
    case Found::Directory:
        break;
    case Found::Unknown:
        return SettleOutcome::Blocked;
    default:
        return SettleOutcome::Settled;
    }
    if (directory.id.empty() || FolderId(path) != directory.id)
        return LeftAlone(settling, directory.folder, "it is not a folder the update made");
    return RemoveEmptyFolder(settling, directory.folder);
}

// Folders go last, innermost first, and only those the update made.
SettleOutcome RemoveFolders(Settling& settling)
{
    SettleOutcome outcome = SettleOutcome::Settled;
    const auto& directories = settling.plan.directories;
    for (size_t i = directories.size(); i-- > 0;)
        outcome = AddAndStopWaitingIfBlocked(settling, outcome,
                      RemoveFolder(settling, directories[i],
                                   StagedFolderName(directories[i].folder, settling.plan.token, i)));
    return outcome;
}

SettleOutcome UndoUpdate(Settling& settling, JournalPhase phase)
{
    const InstallPlan& plan = settling.plan;
    SettleOutcome outcome = SettleOutcome::Settled;
    for (auto file = plan.files.rbegin(); file != plan.files.rend(); ++file) {
        if (phase == JournalPhase::Moving) {
            // Newest first, and a file that cannot be put back yet stops
            // the rest, so that what the next start finds is the same
            // update stopped a step earlier. A file whose temporary file is
            // still there was never replaced: what it left that cannot go
            // yet does not stop the older ones.
            const SettleOutcome undone = UndoFile(settling, *file);
            if (undone == SettleOutcome::Blocked &&
                WhatIsAt(FullPath(plan, file->temp), nullptr, settling.patience) != Found::File)
                return undone;
            outcome = AddAndStopWaitingIfBlocked(settling, outcome, undone);
        } else {
            outcome = AddAndStopWaitingIfBlocked(settling, outcome, DeleteStagingFiles(settling, *file, true));
        }
    }
    // Files still to be put back would keep their folders from going.
    if (outcome == SettleOutcome::Blocked)
        return outcome;
    return Worse(outcome, RemoveFolders(settling));
}

// Moves file's temporary file onto its target, written through: the
// journal goes once the settling is done, and must not go first.
bool PutInPlace(const Settling& settling, const PlannedFile& file)
{
    const std::wstring temp = FullPath(settling.plan, file.temp);
    const std::wstring target = FullPath(settling.plan, file.target);
    const DWORD flags =
        MOVEFILE_WRITE_THROUGH | (file.kept.empty() ? 0 : MOVEFILE_REPLACE_EXISTING);
    if (RetryWhileFileHeld(settling.patience, file.kept.empty() ? temp : target, [&] {
            return MoveFileExW(temp.c_str(), target.c_str(), flags) != FALSE;
        }))
        return true;
    ReportLastError("MoveFileEx");
    Report(g_log, "Can't put [%s] in place.", WideToUtf8(file.target).c_str());
    return false;
}

// After "moved", a temporary file still whole beside a target that still
// holds what the update replaced is a rename that "moved" overtook on its
// way to the disk (a volume that keeps no order of renames): it is made
// again, not deleted with the leftovers. Beside a target that is neither
// that nor the new content (the player's since), it stays, with the kept
// file, and the target is named.
SettleOutcome RedoLostMove(Settling& settling, const PlannedFile& file)
{
    const InstallPlan& plan = settling.plan;
    const std::wstring temp = FullPath(plan, file.temp);
    if (WhatIsAt(temp, nullptr, settling.patience) == Found::Nothing)
        return SettleOutcome::Settled;
    const Identity staged = CompareContent(temp, file.size, file.crc, settling.patience);
    if (staged != Identity::Same)
        return staged == Identity::Unknown ? SettleOutcome::Blocked : SettleOutcome::Settled;
    const Identity replaced = IsWhatItReplaces(plan, file, settling.patience);
    const Identity updated =
        CompareContent(FullPath(plan, file.target), file.size, file.crc, settling.patience);
    if (replaced == Identity::Unknown || updated == Identity::Unknown)
        return SettleOutcome::Blocked;
    if (updated == Identity::Same)
        return SettleOutcome::Settled;
    if (replaced != Identity::Same) {
        settling.leftAlone.push_back(FoldedName(file.temp));
        settling.leftAlone.push_back(FoldedName(file.kept));
        return LeftAlone(settling, file.target,
                         ("it is neither what the update wrote nor what it replaced; its new "
                          "content stays in [" + WideToUtf8(file.temp) + "]")
                             .c_str());
    }
    if (!PutInPlace(settling, file))
        return SettleOutcome::Blocked;
    Report(g_log, "Put [%s] in place: its move had not reached the disk.",
           WideToUtf8(file.target).c_str());
    return SettleOutcome::Settled;
}

SettleOutcome RemoveLeftovers(Settling& settling, bool redoLostMoves)
{
    SettleOutcome outcome = SettleOutcome::Settled;
    for (const PlannedFile& file : settling.plan.files) {
        SettleOutcome one = redoLostMoves ? RedoLostMove(settling, file) : SettleOutcome::Settled;
        if (one == SettleOutcome::Settled)
            one = DeleteStagingFiles(settling, file, false);
        outcome = AddAndStopWaitingIfBlocked(settling, outcome, one);
    }
    return outcome;
}

// Whether one file of an update stopped while moving can be made whole a
// given way (CanGoBack, CanGoForward).
enum class Answer { Yes, No, CannotTell };

// Whether a target that holds the update's content, and whose kept file is
// gone, is the kept file already put back: the update brought what was
// there before, and the file there is the one found (its stamp), or what
// was kept held that content.
bool IsPutBack(const Settling& settling, const PlannedFile& file)
{
    if (file.keptAsCopy)
        return file.keptStamp.size == file.size && file.keptCrc == file.crc;
    return CompareStamp(FullPath(settling.plan, file.target), file.keptStamp, settling.patience) == Identity::Same;
}

// Back: the file was not replaced, or what it replaced is kept. No when it
// holds the update's content and what it replaced is gone or not the
// update's; why says so.
Answer CanGoBack(const Settling& settling, const PlannedFile& file, std::string& why)
{
    const InstallPlan& plan = settling.plan;
    switch (LookAt(settling, FullPath(plan, file.temp))) {
    case Found::Unknown:
        return Answer::CannotTell;
    case Found::Nothing:
        break;
    default:
        return Answer::Yes; // never replaced
    }
    if (file.kept.empty())
        return Answer::Yes;
    const Identity kept = IdentifyKeptFile(settling, file);
    if (kept == Identity::Same || kept == Identity::Unknown)
        return kept == Identity::Same ? Answer::Yes : Answer::CannotTell;
    // With what it replaced gone, a folder in its place leaves nothing to
    // put back, and nothing that says the install was ever as before.
    if (kept == Identity::Missing && LookAt(settling, FullPath(plan, file.target)) == Found::Directory) {
        why = "[" + WideToUtf8(file.target) + "] is a folder, and the file it replaced is gone";
        return Answer::No;
    }
    const Identity target =
        CompareContent(FullPath(plan, file.target), file.size, file.crc, settling.patience);
    if (target != Identity::Same)
        return target == Identity::Unknown ? Answer::CannotTell : Answer::Yes; // put back, or not ours
    if (kept == Identity::Missing && IsPutBack(settling, file))
        return Answer::Yes;
    why = "[" + WideToUtf8(file.target) + "] holds the update's content, and the file it replaced " +
          (kept == Identity::Missing ? "is gone" : "is not in [" + WideToUtf8(file.kept) + "]");
    return Answer::No;
}

// Forward: the update's content is in place, or whole in the temporary file
// and what the move would replace is what the update was to replace.
Answer CanGoForward(const Settling& settling, const PlannedFile& file, std::string& why)
{
    const InstallPlan& plan = settling.plan;
    const std::wstring target = FullPath(plan, file.target);
    const std::string name = WideToUtf8(file.target);
    const Found temp = LookAt(settling, FullPath(plan, file.temp));
    if (temp == Found::Unknown)
        return Answer::CannotTell;
    if (temp == Found::Nothing) {
        const Identity there = CompareContent(target, file.size, file.crc, settling.patience);
        if (there == Identity::Same || there == Identity::Unknown)
            return there == Identity::Same ? Answer::Yes : Answer::CannotTell;
        why = "[" + name + "] does not hold the update's content, and its temporary file is gone";
        return Answer::No;
    }
    const Identity staged =
        CompareContent(FullPath(plan, file.temp), file.size, file.crc, settling.patience);
    if (staged != Identity::Same) {
        why = "the update's content for [" + name + "] is not whole in [" + WideToUtf8(file.temp) + "]";
        return staged == Identity::Unknown ? Answer::CannotTell : Answer::No;
    }
    // The update replaces no read-only file, and what the player made so
    // after it was planned is his.
    if (LookAt(settling, target) == Found::ReadOnlyFile) {
        why = "[" + name + "] is read-only";
        return Answer::No;
    }
    const Identity replaced = IsWhatItReplaces(settling.plan, file, settling.patience);
    if (replaced != Identity::Same) {
        why = "[" + name + "] is not what the update was to replace";
        return replaced == Identity::Unknown ? Answer::CannotTell : Answer::No;
    }
    return Answer::Yes;
}

// Whether canGo can be told for every file; why each one that cannot go
// is in cannot.
bool Survey(const Settling& settling,
            Answer (*canGo)(const Settling&, const PlannedFile&, std::string&),
            std::vector<std::string>& cannot)
{
    for (const PlannedFile& file : settling.plan.files) {
        std::string why;
        const Answer answer = canGo(settling, file, why);
        if (answer == Answer::CannotTell)
            return false;
        if (answer == Answer::No)
            cannot.push_back(why);
    }
    return true;
}

// Moves into place every file whose temporary file is still there, in the
// plan's order, then removes what the update kept.
SettleOutcome FinishUpdate(Settling& settling)
{
    const InstallPlan& plan = settling.plan;
    for (const PlannedFile& file : plan.files) {
        if (WhatIsAt(FullPath(plan, file.temp), nullptr, settling.patience) != Found::Nothing &&
            !PutInPlace(settling, file))
            return SettleOutcome::Blocked;
    }
    return RemoveLeftovers(settling, false);
}

// An update stopped while moving is undone where every file can go back.
// Where one cannot, since what it replaced is gone, the update is finished,
// if every file's new content is at hand, in place or in its temporary
// file. Where neither can be done, nothing is changed and every file that
// stands in the way is named. The archive is not needed either way.
SettleOutcome SettleMoving(Settling& settling)
{
    std::vector<std::string> noWayBack, noWayForward;
    if (!Survey(settling, CanGoBack, noWayBack))
        return SettleOutcome::Blocked;
    if (noWayBack.empty())
        return UndoUpdate(settling, JournalPhase::Moving);
    if (!Survey(settling, CanGoForward, noWayForward))
        return SettleOutcome::Blocked;
    for (const std::string& why : noWayBack)
        Report(g_log, "The update that was stopped here cannot be undone: %s.", why.c_str());
    if (noWayForward.empty()) {
        Report(g_log, "Every file's new content is at hand, so the update is finished instead.");
        settling.finished = true;
        return FinishUpdate(settling);
    }
    for (const std::string& why : noWayForward)
        Report(g_log, "Nor can it be finished: %s.", why.c_str());
    return SettleOutcome::Stuck;
}

} // namespace

SettleOutcome SettleUpdate(const InstallPlan& plan, JournalPhase phase, Patience patience,
                           bool* finished)
{
    Settling settling{plan, patience, {}, false};
    SettleOutcome outcome = SettleOutcome::Settled;
    switch (phase) {
    case JournalPhase::Staging:
        outcome = UndoUpdate(settling, phase);
        break;
    case JournalPhase::Moving:
        outcome = SettleMoving(settling);
        break;
    case JournalPhase::Moved:
        outcome = RemoveLeftovers(settling, true);
        break;
    }
    if (finished)
        *finished = settling.finished;
    return outcome;
}

bool IsSettled(SettleOutcome outcome)
{
    return outcome == SettleOutcome::Settled || outcome == SettleOutcome::LeftSomeAlone;
}

ContentNeed NewContentNeed(const InstallPlan& plan, const PlannedFile& file)
{
    const Identity there = CompareContent(FullPath(plan, file.target), file.size, file.crc);
    if (there == Identity::Same)
        return ContentNeed::AtHand;
    const Identity staged = CompareContent(FullPath(plan, file.temp), file.size, file.crc);
    const Identity replaced = IsWhatItReplaces(plan, file, Patience::NewFile);
    if (there == Identity::Unknown || staged == Identity::Unknown || replaced != Identity::Same)
        return ContentNeed::InTheWay;
    return staged == Identity::Same ? ContentNeed::AtHand : ContentNeed::Missing;
}
