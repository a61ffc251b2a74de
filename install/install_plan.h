#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "install/file_identity.h"

// What one update will do to the install, settled before anything is
// written and recorded whole in the journal: the folders it makes, and for
// each file its target, the temporary file its new content is written to,
// and the name under which the file it replaces is kept until the update
// is complete. Every name is relative to the working directory, in the
// install's normal form. With each name goes what identifies the update's
// own file there, so that an undo never takes another file for it.
// A file has one record however many entries name it: the last entry is
// what it holds at the end, as when the entries are written one after
// another.
struct PlannedFile {
    std::wstring target;
    std::wstring temp;
    std::wstring kept;       // empty when the target is a new file
    std::string name;        // as the archive's last entry for it names it
    std::uint64_t size = 0;  // the new content: that entry's size and CRC-32
    std::uint32_t crc = 0;
    FileStamp keptStamp;     // the file found at planning, which is kept
    // A volume without hard links keeps the file found as a copy that this
    // program writes itself; the copy is then known by its size and the
    // CRC-32 of what was written, not by a time (FAT shifts every time it
    // reports when the clock's offset changes).
    bool keptAsCopy = false;
    std::uint32_t keptCrc = 0;
};

// One archive entry that brings content, in the archive's order. Each is
// read whole and checked against its size and CRC-32; one that a later
// entry for the same file replaces is only checked, never written.
struct PlannedRead {
    std::size_t file = 0;    // the plan's file it is for
    std::uint64_t entry = 0; // the archive entry
    std::string name;        // as the archive names it
    bool checkOnly = false;
};

struct PlannedDirectory {
    std::wstring folder;
    std::string name; // as the archive names it, for messages
    std::string id;   // once this update has made it (FolderId); else empty
};

struct InstallPlan {
    std::wstring root;  // the working directory, extended-length (ExtendedLengthRoot)
    std::wstring token; // this update's part of its staging names
    std::vector<PlannedDirectory> directories; // to make, outermost first
    std::vector<PlannedFile> files;            // in the order they are put in place
    std::vector<PlannedRead> reads;            // every entry with content, in order

    // Upper-cased names already in the plan (Windows names ignore case);
    // for files, the planned file of that name.
    std::set<std::wstring> plannedDirectories;
    std::map<std::wstring, std::size_t> plannedFiles;
};

enum class PlanOutcome {
    Planned,
    Refused, // reported; the player must be told that the file cannot be written
};

// A plan for the working directory with a token of its own. False when the
// working directory cannot be read (reported).
bool StartPlan(InstallPlan& plan);

// name joined to the plan's root: the extended-length form of the file
// calls (see ExtendedLengthRoot).
std::wstring FullPath(const InstallPlan& plan, const std::wstring& name);

// A directory entry (target in the normal form, name as the archive gives
// it): the folders on the way and the folder itself that do not exist yet.
// A name that an earlier entry brings as a file exists.
PlanOutcome PlanDirectory(InstallPlan& plan, const std::wstring& target, const std::string& name);

// A file entry: its folders as above, its staging names and what identifies
// its content. A target that exists is kept while the update runs; a
// read-only file, a symbolic link, a folder, or a target whose state cannot
// be read refuses the update. An entry for a file an earlier one planned
// gives that file its content; the earlier entry is then only checked.
PlanOutcome PlanFile(InstallPlan& plan, const std::wstring& target, const std::string& name,
                     std::uint64_t entry, std::uint64_t size, std::uint32_t crc);
