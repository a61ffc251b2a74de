#pragma once

#include <string>
#include <vector>

#include "diag/unique_handle.h"

// One file of an extraction: its new content is written beside its target
// first and moved into place only when every entry has been read and
// checked, so that a failed extraction leaves the install as it was.
struct StagedFile {
    std::string name;    // the entry's name as libzip gives it, for messages
    std::wstring target; // relative to the working directory
    std::wstring temp;   // the new content, until it is moved onto target
    std::wstring backup; // the file it replaced, kept until the update is complete
    bool committed = false;
};

struct StagedUpdate {
    std::vector<StagedFile> files;
    std::vector<std::wstring> madeDirectories; // outermost first
    unsigned nextId = 0;                       // for unique names beside the targets
};

// Creates a new, empty temporary file beside target and records it in
// update. On failure the handle is invalid and ReportLastError has been called.
UniqueHandle CreateStagedFile(StagedUpdate& update, const std::string& name,
                              const std::wstring& target);

// Moves every staged file onto its target, keeping each replaced file. On
// failure returns false with the failing file's name, already reported with
// ReportLastError; what was done stays until RollBackStagedUpdate.
bool CommitStagedUpdate(StagedUpdate& update, std::string& failedName);

// Restores every replaced file, removes new files, temporaries and the
// directories that were made, newest first.
void RollBackStagedUpdate(StagedUpdate& update);

// After a complete commit: deletes the replaced files that were kept.
void DeleteBackups(StagedUpdate& update);
