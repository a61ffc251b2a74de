#pragma once

#include <functional>
#include <string>
#include <vector>

#include "install/install_plan.h"

// The folders an update makes. With a journal they are made a level at a
// time (outermost first), each under its staging name in its parent
// (StagedFolderName), and
// given their own names, empty, only once the journal records their ids:
// so no folder ever stands under its own name that the next start cannot
// tell for the update's.

// Makes one directory, path in the extended-length form. An existing
// directory counts as success; any other failure is printed to standard
// error under name (the directory as the archive names it), and the caller
// goes on: an entry inside it then fails when its file is written. True
// only when this call made the directory.
bool MakeDirectory(const std::wstring& path, const std::string& name);

// Makes every missing folder on the way to name (relative to the plan's
// root), as folders plain and in place. False when one cannot be made
// (reported).
bool MakeFoldersOnTheWay(const InstallPlan& plan, const std::wstring& name);

// How many levels deep the plan's folders go: 1 for folders in the working
// directory alone, 0 for none.
size_t FolderLevels(const InstallPlan& plan);

// Makes the plan's folders of one level (0 the outermost), under their
// staging names where staged, and notes the id of each it made in the plan.
// Returns the indexes of those it made.
std::vector<size_t> MakeFolderLevel(InstallPlan& plan, size_t level, bool staged);

// Gives each staged folder of made (indexes in the plan) its own name,
// written through where writeThrough says so of the folder. False with the
// failing folder's name when one cannot be renamed (reported).
bool PutFoldersInPlace(const InstallPlan& plan, const std::vector<size_t>& made,
                       const std::function<bool(const std::wstring& folder)>& writeThrough,
                       std::string& failedName);
