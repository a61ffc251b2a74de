#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

// What one update will do to the install, settled before anything is
// written and recorded whole in the journal: the folders it makes, and for
// each file its target, the temporary file its new content is written to,
// and the name under which the file it replaces is kept until the update
// is complete. Every name is relative to the working directory, in the
// install's normal form.
struct PlannedFile {
    std::wstring target;
    std::wstring temp;
    std::wstring kept;       // empty when the target is a new file
    std::string name;        // as the archive names it, for messages
    std::uint64_t entry = 0; // the archive entry that brings the content
};

struct InstallPlan {
    std::wstring root;  // "\\?\" and the working directory, with a final '\'
    std::wstring token; // this update's part of its staging names
    std::vector<std::wstring> directories; // to make, outermost first
    std::vector<PlannedFile> files;        // in the order they are put in place

    // Upper-cased names already in the plan: Windows names ignore case.
    std::set<std::wstring> plannedDirectories;
    std::set<std::wstring> plannedFiles;
};

enum class PlanOutcome {
    Planned,
    Refused, // reported; the player must be told that the file cannot be written
};

// A plan for the working directory with a token of its own. False when the
// working directory cannot be read (reported).
bool StartPlan(InstallPlan& plan);

// The long form of name for the file calls: not held to MAX_PATH, so a
// staging name longer than its target's never fails where the target fits.
std::wstring FullPath(const InstallPlan& plan, const std::wstring& name);

// A directory entry: the folders on the way to name and name itself that do
// not exist yet. A name that an earlier entry brings as a file exists.
void PlanDirectory(InstallPlan& plan, const std::wstring& name);

// A file entry: its folders as above, and its staging names. A target that
// exists is kept while the update runs; a read-only file, a folder, or a
// target whose state cannot be read refuses the update.
PlanOutcome PlanFile(InstallPlan& plan, const std::wstring& target, const std::string& name,
                     std::uint64_t entry);

// What is at path now. Unknown when Windows cannot say (the thread's last
// error says why): a decision that rests on it must not be taken.
enum class Found { Nothing, File, ReadOnlyFile, Directory, Unknown };
Found WhatIsAt(const std::wstring& path);

// The working directory, at any length (the C runtime's query is wrong
// beyond MAX_PATH). False with the thread's last error when it cannot be read.
bool WorkingDirectory(std::wstring& directory);
