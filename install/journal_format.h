#pragma once

#include <cstddef>
#include <string>

#include "install/install_plan.h"

// The journal's text: the plan of one update and the records of how far it
// got, as journal_file.h writes and reads it. Nothing here touches a disk.
//
// It is UTF-8 text, one record a line, fields separated by tabs:
//   vestrel journal 3
//   token <token>
//   dir <folder to make>                      (outermost first)
//   file <target> <temporary file> <kept file> <size> <CRC-32> <kept is>
//   end <CRC-32 of every byte above, 8 hex digits>
//   made <folder id>... <CRC-32 of the record>  (each level of folders made)
//   kept <copy>... <CRC-32 of the record>       (with "moving", if any copies)
//   moving                                    (before the first move)
//   moved                                     (after the last move)
// <size> and <CRC-32> are the new content's; <kept is> is empty for a new
// file, and "<size>:<last-write time>" (16 hex digits) for the file the
// update found there. A target has one record, whatever number of entries
// name it (journal 2 chained one record per entry; journals of that form
// are not read). A folder id is FolderId's, or "-" for a folder the update
// did not make. <copy> is, for each file record in
// order, the CRC-32 (8 hex digits) of the copy this program made of the
// file it keeps, on a volume without hard links, or "-".
//
// A power cut can leave the last record torn: cut short, or padded with
// zero bytes where the file grew but its data never arrived. A torn record
// was not yet in force, since each is on disk before the step it allows.

// What the journal says the update had reached.
enum class JournalPhase {
    Staging, // new content is being written beside the targets, and kept
    Moving,  // files are being put in place
    Moved,   // every file is in place; only the kept files are left
};

// A plan of some 400,000 files stays below this, and the 32-bit build can
// still hold it; the update refuses a larger one, so a larger journal is
// not ours.
const std::size_t kLargestJournal = 64u << 20;

// The plan, up to and including its "end" record.
std::string PlanText(const InstallPlan& plan);

// The "made" record: the ids of the plan's folders made so far.
std::string MadeRecord(const InstallPlan& plan);

// "moving", after the "kept" record where the update kept copies: one
// write, so that a "moving" on disk always comes with what identifies them.
std::string MovingRecord(const InstallPlan& plan);

// "moved".
std::string MovedRecord();

// Reads a journal's bytes into plan (empty but for its root) and phase.
// Every name must be one an update could have made: in the normal form of
// an install name, and the staging names those of the journal's own token
// and place.
// False, with why in words for the log, when the bytes are not a whole
// journal of this program.
bool ParseJournal(const std::string& bytes, InstallPlan& plan, JournalPhase& phase,
                  std::string& why);
