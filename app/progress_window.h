#pragma once

#include <windows.h>

// The windowed run modes: a small centred window says that the update is
// being unpacked while a worker thread runs it. Returns the exit code: 0
// once the update is over, 1 when the window cannot be made or the worker
// cannot be started.
int RunWindowed(HINSTANCE instance, int showCommand);

// The progress window's procedure. Its first paint draws the text, then
// runs the update on the worker and blocks until the worker has finished.
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
