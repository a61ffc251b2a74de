#pragma once

// Whether a process with this executable file name (no directory) runs
// now. Names compare whole and ignore case as the file system does. Each
// call takes and releases its own snapshot: it is called back to back for
// as long as a wait lasts.
bool IsProcessRunning(const wchar_t* name);
