#include <windows.h>

#include "diag/log_file.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    g_log = new LogFile();
    return 0;
}
