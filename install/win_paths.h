#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// What Windows says about paths and the files behind them, apart from any
// plan: the working directory, the extended-length form that the file
// calls take at any length, short 8.3 names, and the ids that every name
// of one file or folder shares.

// The working directory, at any length (the C runtime's query is wrong
// beyond MAX_PATH). False with the thread's last error when it cannot be read.
bool WorkingDirectory(std::wstring& directory);

// The working directory in the extended-length form ("\\?\C:\Games\"; a
// share's "\\server\share" becomes "\\?\UNC\server\share"), with a final
// '\'. Names joined to it are not held to MAX_PATH, so a staging name
// longer than its target's never fails where the target fits. False with
// the thread's last error when the working directory cannot be read.
bool ExtendedLengthRoot(std::wstring& root);

// name (relative to root, components joined by '\') with every component
// that is the short 8.3 name of an existing file or folder ("LEVEL~1.PAK")
// replaced by that one's long name, so that two names of one file are
// found as one. A component that does not exist ends the lookup: nothing
// below it exists either.
std::wstring ResolveShortNames(const std::wstring& root, const std::wstring& name);

// A file or folder by its volume and index, which every name of it shares.
struct FileId {
    bool known = false;
    bool folder = false;
    std::uint64_t size = 0;
    DWORD volume = 0;
    std::uint64_t index = 0;
};

// The id of what is at path; not known when it cannot be opened.
FileId FileIdOf(const std::wstring& path);

// The folder's id as text ("<serial>-<index>" in hex), which stays with the
// folder whatever is done inside it; empty when it is no folder or cannot
// be opened.
std::string FolderId(const std::wstring& path);

// Whether the file at path, of size bytes, is the one this program runs
// from: Windows lets nobody replace it while it runs. Only a file of the
// program's size is looked at more closely.
bool IsThisProgram(const std::wstring& path, std::uint64_t size);
