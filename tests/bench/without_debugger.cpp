// Bench only: vestrel.exe whose reports reach no debugger, to measure what
// the debugger output of the per-entry lines costs (under Wine each
// OutputDebugStringA raises an exception and asks the Wine server for a
// debug-output viewer's buffer). Defines the import the calls go through,
// so kernel32's is not linked; the 64-bit bench build only.
#include <windows.h>

namespace {

void WINAPI NoDebuggerOutput(LPCSTR) {}

} // namespace

extern "C" {
void(WINAPI* __imp_OutputDebugStringA)(LPCSTR) = NoDebuggerOutput;
}
