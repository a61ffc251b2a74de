// Bench only: the unpack of vestrel.exe run mode 2 called from a console
// program, without the window, the wait, the recovery and the restart:
// what those cost beside the unpack.
//   extract_only.exe ARCHIVE
#include "archive/extract_archive.h"
#include "diag/log_file.h"

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    g_log = new LogFile();
    return ExtractArchive(argv[1]) ? 0 : 1;
}
