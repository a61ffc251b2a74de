#pragma once

#include <string>

// Whether an entry name (UTF-8, as libzip returns it) stays inside the
// folder it is unpacked into: not empty, relative, without drive or stream
// colons, ".." components or device names, and valid UTF-8. Both '/' and
// '\' separate components, as Windows reads them.
bool IsSafeEntryName(const std::string& name);
