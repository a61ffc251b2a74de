// The names an archive may give: each entry name with where it goes (its
// normal form, relative to the game's folder), or refused.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "archive/entry_name.h"
#include "tests/support/test_support.h"

TEST(EntryNames, GoWhereTheirNormalFormSaysOrAreRefused)
{
    const char* kRefused = nullptr;
    struct Row {
        std::string name;
        const char* target; // kRefused, or the normal form in UTF-8
    };
    const Row directories[] = {
        {"docs/", "docs"}, {"winfolder\\", "winfolder"}, {"./", ""}, {"../", kRefused}};
    const Row files[] = {
        {"maps/first.map", "maps\\first.map"},
        {"sub\\file.txt", "sub\\file.txt"},
        {"./dot/./here.txt", "dot\\here.txt"},
        {"maps//double.map", "maps\\double.map"},
        // Names that only look odd.
        {"console.txt", "console.txt"},
        {"COM10.txt", "COM10.txt"},
        {"nul_and_void.txt", "nul_and_void.txt"},
        {"..hidden", "..hidden"},
        {"a..b.txt", "a..b.txt"},
        {"readme~2.txt", "readme~2.txt"},
        {"maps/vestrel_journal.txt", "maps\\vestrel_journal.txt"},
        {"caf\xC3\xA9.txt", "caf\xC3\xA9.txt"},
        // What could reach beyond the folder.
        {"", kRefused},
        {"/etc/evil.txt", kRefused},
        {"\\evil.txt", kRefused},
        {"C:evil.txt", kRefused},
        {"c:/evil.txt", kRefused},
        {"x.txt:ads", kRefused},
        {"../evil.txt", kRefused},
        {"a/../../e", kRefused},
        {"a\\..\\..\\e", kRefused},
        {"..", kRefused},
        // Devices, in every folder and with any extension.
        {"CON", kRefused},
        {"con.txt", kRefused},
        {"sub/Nul.dat", kRefused},
        {"aux", kRefused},
        {"PRN.log", kRefused},
        {"COM1", kRefused},
        {"lpt9.txt", kRefused},
        {"com\xC2\xB9.txt", kRefused},
        {"sub/CoN .txt", kRefused},
        // Windows trims trailing dots and blanks, long paths do not: two
        // names could meet in one file, or make one Explorer cannot delete.
        {"a/.. /e", kRefused},
        {"a/.../e", kRefused},
        {"file.", kRefused},
        {"file ", kRefused},
        {"a./b.txt", kRefused},
        {"dir /b.txt", kRefused},
        // The updater's own staging files, journal and log.
        {"~vestrel-1-0.tmp", kRefused},
        {"maps/~VESTREL-12-abcd0123-3.old", kRefused},
        {"vestrel_journal.txt", kRefused},
        {"VESTREL_JOURNAL.TXT", kRefused},
        {"vestrel_logs.txt", kRefused},
        // What no Windows name holds, and what names no file.
        {"tab\there.txt", kRefused},
        {"bad?name.txt", kRefused},
        {"sav*/slot1.sav", kRefused},
        {"a<b", kRefused},
        {"a|b", kRefused},
        {"say\"hi\"", kRefused},
        {"sub\\", kRefused},
        {"bad\xff.txt", kRefused},
    };
    for (const bool directory : {false, true}) {
        for (const Row& row : directory ? std::vector<Row>(std::begin(directories), std::end(directories))
                                        : std::vector<Row>(std::begin(files), std::end(files))) {
            SCOPED_TRACE("name [" + row.name + (directory ? "], a directory" : "]"));
            std::wstring target;
            const bool taken = EntryTarget(row.name, directory, target);
            EXPECT_EQ(taken, row.target != kRefused) << "target [" << Narrow(target) << "]";
            if (taken && row.target) {
                EXPECT_EQ(Narrow(target), row.target);
            }
        }
    }
}
