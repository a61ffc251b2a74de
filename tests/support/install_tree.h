#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "install/install_plan.h"
#include "install/transaction.h"

// A game's folder as the tests set it up and find it: files by their paths
// relative to the folder ('\' between components) with their bytes.
using Files = std::map<std::wstring, std::string>;

// Every file below dir with its bytes; with folders, also every folder
// below it, as its path with a final '\' and the bytes "folder".
Files Snapshot(const std::wstring& dir, bool withFolders = false);

// Writes files below dir, making the folders on the way.
void WriteFiles(const std::wstring& dir, const Files& files);

// Whether two folders' contents are the same; where not, the first path
// that differs, with what each side holds there.
::testing::AssertionResult SameFiles(const Files& found, const Files& expected);

// Whether a staging file of the updater ("~vestrel-...") is below dir.
bool HasStagingFiles(const std::wstring& dir);

// n bytes of text that compresses like a game's data, from seed.
std::string TextBytes(size_t n, unsigned seed);

std::uint32_t Crc(const std::string& bytes);

// Makes the file read-only; false where Wine cannot (the FUSE volumes).
bool MadeReadOnly(const std::wstring& path);

// An update as an archive brings it: entry names and their contents.
using Entries = std::vector<std::pair<std::string, std::string>>;

// The plan of entries over the working directory, as the unpack makes it.
InstallPlan PlanFor(const Entries& entries);

// A source that hands the install each entry's content from memory.
ContentSource MemoryContent(const Entries& entries);

// Steps the transaction on until it has reached phase with done steps of
// it behind.
void StepUntil(Transaction& transaction, InstallPhase phase, size_t done);

// Runs the update of plan until StepUntil, then drops it as a kill would:
// its journal is let go, and nothing is settled.
void StopIn(InstallPlan& plan, const Entries& entries, InstallPhase phase, size_t done);
