#pragma once

#include <string>

// Names of files and folders of the install, relative to the working
// directory: what an archive entry may name, what a journal may name, and
// every name the updater gives a file or folder of its own.

// The journal of an unpack in progress, in the working directory, and the
// name its plan is written under until the whole of it is on disk.
extern const wchar_t kJournalName[];
extern const wchar_t kJournalDraftName[];

// What every staging name matches, as a FindFirstFile pattern.
extern const wchar_t kStagingPattern[];

// Turns name into its one normal form, components joined by '\', with
// empty and "." components dropped; the result is empty for the folder
// itself. False, and nothing to use, for a name that could reach beyond the
// folder or that Windows would read as another name: rooted, with a drive
// or stream colon, a ".." component, a component ending in a dot or a blank
// (Windows trims those, long paths do not), a device name, a control
// character or one that Windows names cannot hold (wildcards, quotes,
// redirections), or one of the updater's own names (its staging pattern,
// its journal, its log). Both '/' and '\' separate components. The name is
// checked as text: a name shaped like a short 8.3 name ("LEVEL~1.PAK")
// passes, and the plan looks up which file it names (see PlanFile).
bool NormalizeInstallName(const std::wstring& name, std::wstring& normal);

// The upper-cased form under which Windows compares names.
std::wstring FoldedName(const std::wstring& name);

// The folder name is in ("a\\b" for "a\\b\\c"); empty for a name in the
// working folder.
std::wstring FolderOf(const std::wstring& name);

// The updater's own file beside target: "~vestrel-<token>-<number><suffix>",
// in target's folder. An entry's content is written to ".tmp", the file it
// replaces is kept as ".old", and where that must be a copy the copy is
// written as ".cpy" (CopyName) until it is whole.
std::wstring StagingName(const std::wstring& target, const std::wstring& token, size_t number,
                         const wchar_t* suffix);

// The name a copy of a kept file is written under, beside the file's
// temporary one (temp, a ".tmp" StagingName).
std::wstring CopyName(const std::wstring& temp);

// Where the plan's folder number makes folder, in its parent once that has
// its own name: the ".dir" StagingName, padded to no less than the folder's
// own name (FAT keeps a file's id through a rename that does not lengthen
// its name).
std::wstring StagedFolderName(const std::wstring& folder, const std::wstring& token, size_t number);
