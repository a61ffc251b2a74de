#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <map>
#include <string>

#include "diag/unique_handle.h"
#include "install/install_plan.h"

// The update of the install as one transaction: every file of the plan
// replaced and every folder made, or none, whenever and however the run
// ends. This file is its spine: the phases in order, what each leaves on
// disk, and the one way out when a step fails.
//
// What holds throughout:
//   1. Nothing of the install is touched before the journal holds the
//      whole plan under its own name.
//   2. No folder stands under its own name before its id is on record:
//      until then it is the update's by its staging name.
//   3. No file is moved into place before every new content is on disk,
//      every file the plan found and replaces is kept, and "moving" is
//      recorded.
//   4. No kept file goes before "moved" is on disk.
//   5. Only this file decides when a record is written (the plan itself
//      by BeginJournal), each on disk before the step it allows; a stopped
//      update is settled from the journal and what is on disk alone, and
//      so is one stopped while being settled.
//
// The phases. A run goes down the table; a stop (a kill, a logoff, a power
// cut) in any phase leaves what its row says, and the next start settles
// it as the row says (settle_update.h; recovery.h at the start). Staging
// names are "~vestrel-<token>-<n><suffix>" beside what they stand for, n
// the file's or folder's place in the plan (install_name.h).
//
// Planned     On disk: nothing of the update; while BeginJournal writes
//             it, the plan under "~vestrel-journal.tmp".
//             Journal: none.  A stop: the draft is deleted.
//             Left by CheckAndBegin: the whole update is checked first
//             (preflight.h: folders that take no file, targets that cannot
//             be replaced, no room, FAT32's 4 GiB), and refused before
//             anything is written; then BeginJournal flushes the draft and
//             renames it to "vestrel_journal.txt". An update of folders alone has no
//             journal: MakeFoldersInPlace makes them and it is Done.
// Folders     On disk: the journal; a level of folders at a time, under
//             "<n>.dir" names (padded to the folder's own length), each
//             level given its own names once "made" records its ids
//             (MakeFolders).
//             Journal: the plan, "made" per level.  A stop: back.
// Staging     On disk: "<n>.tmp", the new content of each file, entry by
//             entry in the archive's order, each flushed when written
//             (StageEntry; on the journal's local NTFS volume written
//             without the disk's cache flush, which "moving" then makes for
//             all). An entry that a later one for the same file replaces is
//             read and checked, and not written.
//             Journal: as above.  A stop: back.
// Keeping     On disk: every new content; "<n>.old", a second name of each
//             file the plan found and replaces, or where the volume has no
//             hard links a copy, written as "<n>.cpy" and renamed once
//             whole (KeepFile). Entered once the source is read to its end.
//             Journal: as above.  A stop: back.
// Moving      On disk: "<n>.tmp" renamed onto its target, file by file in
//             the plan's order (MoveFile); off the journal's local NTFS
//             volume (another drive, FAT, a share) each rename is written
//             through, since the journal's flush orders only its own
//             volume's renames. Entered by BeginMoves, which records
//             "kept" (the copies' CRC-32, where it made any) and "moving"
//             in one write.
//             Journal: "moving".  A stop: back where every replaced file
//             is kept; else forward where every new content is at hand, in
//             place or in its "<n>.tmp"; else neither, and nothing changes.
// Moved       On disk: every target holds its new content; the "<n>.old"
//             files are deleted (RemoveKeptFile). Entered by EndMoves,
//             which records "moved".
//             Journal: "moved".  A stop: forward, what is left is removed;
//             a "<n>.tmp" still whole beside a target that still holds what
//             was kept is a rename the disk lost, and is made again.
// Done        The journal is deleted (EndUpdate): the new install, whole.
//             Where a kept file cannot go yet, the update is done all the
//             same, and the journal stays with it for the next start.
//
// "Back" puts every replaced file back from its kept file and removes the
// update's files and folders; "forward" moves what is staged into place and
// removes what is kept. Either changes only what is proven the update's.
//
// A failed step gives the update up (GiveUp): it is settled back, as a
// stop there would be, and its journal deleted, or kept for the next start
// where a held file keeps it from being settled yet. Once every file is in
// place, a "moved" that cannot be recorded undoes nothing: the journal
// stays, and the next start settles to what is on disk.

enum class InstallPhase { Planned, Folders, Staging, Keeping, Moving, Moved, Done };

enum class ContentOutcome {
    Written,
    ReadFailed,  // the content is damaged or cannot be read (reported)
    WriteFailed, // the failed call is reported; the player is told which file
};

// Where the new content comes from (the archive), entry by entry in the
// plan's reads. Each runs on the transaction's thread.
struct ContentSource {
    // Announces the entry and opens its content; false when it cannot
    // (reported).
    std::function<bool(const PlannedRead& read)> open;
    // Copies the content opened last into out, checking it whole; with no
    // out, it is only read and checked.
    std::function<ContentOutcome(const PlannedRead& read, HANDLE out)> copy;
    // The entry's content is on disk (or checked): closes it, and says so.
    std::function<void(const PlannedRead& read)> done;
    // Ends the reading: with allRead, once every content is written; false
    // when that close fails (reported). Without, the update is given up,
    // and whatever is open is let go.
    std::function<bool(bool allRead)> close;
};

// One update in progress: where it stands, and what it holds.
struct Transaction {
    Transaction(InstallPlan& p, const ContentSource& s) : plan(p), source(s) {}

    InstallPlan& plan;
    const ContentSource& source;
    InstallPhase phase = InstallPhase::Planned;
    std::size_t next = 0; // in the phase: the next folder level, read or file
    UniqueHandle journal; // open without sharing from Folders until Done
    std::wstring flushVolume; // the journal's volume (see FlushNewContent)
    // For each folder a file goes to, whether it is on the journal's volume.
    std::map<std::wstring, bool> onJournalVolume;
    // Once a step has failed: the file the player is told could not be
    // written (as the archive names it), or empty where the log says all.
    std::string unwritable;
};

// Takes the transaction one step on: a folder level, a file, or into the
// next phase. False when the step failed (reported); the transaction is
// then to be given up. Dropping a transaction without giving it up is a
// stop: its journal is let go, and the next start settles it.
bool Step(Transaction& transaction);

struct InstallResult {
    bool done = false;
    std::string unwritable; // on failure: see Transaction::unwritable
};

// The one way out of a failed step: the source is let go, and the update
// settled back from the record in force, unless every file is in place.
InstallResult GiveUp(Transaction& transaction);

// Runs the update of plan to its end, or gives it up at the first step that
// fails.
InstallResult RunInstall(InstallPlan& plan, const ContentSource& source);
