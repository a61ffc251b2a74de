#pragma once

#include <string>

#include "install/install_plan.h"

// What the update checks of the whole install before its first byte is
// written: that it can be written at all, so that a patch that must fail is
// refused at once, not after it has been unpacked and undone.
//   - every folder it writes in can take a new file (a probe, deleted on
//     closing, so that nothing is left);
//   - every file it replaces can be replaced by this Windows user, and no
//     program holds it (waited for as the player's files are, 2 seconds);
//   - each volume has room for the new content, the copies it keeps where
//     the volume has no hard links, and, on the working folder's, the
//     journal;
//   - no file of 4 GiB or more goes to a FAT32 volume.
// False when one of them fails: failedName is then the first file of the
// update (as the archive names it) that cannot be written or replaced, and
// one log line says why.
bool CheckBeforeWriting(const InstallPlan& plan, std::string& failedName);
