// Bench only: the bare loop that vestrel.exe's restart is measured
// against. It polls the process list as the update's wait does and starts
// the program once the watched one is gone; nothing else.
//   poll_restart.exe WATCHED_NAME PROGRAM_PATH
#include <string>

#include "update/process_watch.h"
#include "update/start_program.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
        return 2;
    while (IsProcessRunning(argv[1])) {
    }
    StartProgram(argv[2], nullptr, nullptr);
    return 0;
}
