#pragma once

#include <cstdint>
#include <string>

// Whether an entry makes a directory: its name ends in '/', or in '\' with
// no data (as some Windows zip tools write folders).
bool IsDirectoryEntry(const std::string& name, std::uint64_t size);

// Where an entry (its name in UTF-8, as libzip returns it) goes: its name in
// the install's normal form (see NormalizeInstallName). False for a name
// that is not valid UTF-8 or that is unsafe, and for a file entry that
// names no file. A directory entry may name the folder itself ("./"): the
// target is then empty.
bool EntryTarget(const std::string& name, bool isDirectory, std::wstring& target);
