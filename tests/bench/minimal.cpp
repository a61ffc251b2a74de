// Bench only: the smallest Win32 program, to set vestrel.exe's start-up
// against the cost of starting any program under Wine.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return 9;
}
