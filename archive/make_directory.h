#pragma once

#include <string>

// Makes one directory, path in the long form of the file calls. An existing
// directory counts as success; any other failure is printed to standard
// error under name (the directory as the archive names it), and the caller
// goes on: an entry inside it then fails when its file is written. True
// only when this call made the directory.
bool MakeDirectory(const std::wstring& path, const std::string& name);
