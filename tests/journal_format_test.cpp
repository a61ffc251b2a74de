// The journal's text, read without a disk: what an update writes reads back
// as its plan and phase, however a power cut tears it; anything else is
// unreadable, with the reason the log gives.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "install/install_name.h"
#include "install/journal_format.h"

namespace {

const wchar_t kToken[] = L"7-0000abcd";

// A file record as an update of ours writes it: staging names from the
// target, the token and the file's place.
PlannedFile File(const InstallPlan& plan, const std::wstring& target, bool replaces = false)
{
    PlannedFile file;
    const size_t number = plan.files.size();
    file.target = target;
    file.temp = StagingName(target, plan.token, number, L".tmp");
    if (replaces)
        file.kept = StagingName(target, plan.token, number, L".old");
    file.size = 11;
    file.crc = 0x1234abcd;
    file.keptStamp = FileStamp{7, 0x01d0000000000000};
    return file;
}

// Two folders, one made; a file that replaces one, kept as a copy; a new one.
InstallPlan SamplePlan()
{
    InstallPlan plan;
    plan.token = kToken;
    plan.directories = {{L"maps", "maps/", "0000abcd-0000000000000011"}, {L"maps\\new", "", ""}};
    plan.files.push_back(File(plan, L"patcher.exe", true));
    plan.files.back().keptAsCopy = true;
    plan.files.back().keptCrc = 0xfeedbeef;
    plan.files.push_back(File(plan, L"maps\\new\\b.map"));
    return plan;
}

struct Parsed {
    bool read = false;
    InstallPlan plan;
    JournalPhase phase = JournalPhase::Staging;
    std::string why;
};

Parsed Parse(const std::string& bytes)
{
    Parsed parsed;
    parsed.read = ParseJournal(bytes, parsed.plan, parsed.phase, parsed.why);
    return parsed;
}

// What the plan's records say of what was made and kept, in one line.
std::string Marks(const InstallPlan& plan)
{
    std::string marks;
    for (const PlannedDirectory& directory : plan.directories)
        marks += "[" + directory.id + "]";
    for (const PlannedFile& file : plan.files)
        marks += file.keptAsCopy ? "[copy " + std::to_string(file.keptCrc) + "]" : "[-]";
    return marks;
}

const char* PhaseName(JournalPhase phase)
{
    return phase == JournalPhase::Staging ? "staging" : phase == JournalPhase::Moving ? "moving" : "moved";
}

} // namespace

// Every cut of a whole journal, and every cut padded with zero bytes to the
// journal's length (a file that grew while its data never arrived): inside
// the plan it is unreadable; after it, the plan reads whole and a torn
// record is not in force, so the phase is the one its last whole record
// says, and what "made" and "kept" record counts only where they are whole.
TEST(JournalFormat, EveryCutReadsAsThePhaseItsWholeRecordsSay)
{
    const InstallPlan plan = SamplePlan();
    const std::string planText = PlanText(plan);
    const std::string moving = MovingRecord(plan); // "kept ..." and "moving"
    const size_t keptEnd = moving.find('\n') + 1;
    const std::vector<std::string> records = {MadeRecord(plan), moving.substr(0, keptEnd),
                                              moving.substr(keptEnd), MovedRecord()};
    std::string whole = planText;
    for (const std::string& record : records)
        whole += record;
    // The marks in force after none, one ("made") and two ("kept") records.
    InstallPlan marked = plan;
    marked.files[0].keptAsCopy = false;
    marked.files[0].keptCrc = 0;
    const std::string made = Marks(marked);
    marked.directories[0].id.clear();
    const std::string marks[] = {Marks(marked), made, Marks(plan)};
    const char* phases[] = {"staging", "staging", "staging", "moving", "moved"};

    for (size_t cut = 0; cut <= whole.size(); ++cut) {
        for (const bool padded : {false, true}) {
            SCOPED_TRACE("cut after " + std::to_string(cut) + " of " + std::to_string(whole.size()) +
                         (padded ? " bytes, padded" : " bytes"));
            std::string bytes = whole.substr(0, cut);
            if (padded)
                bytes.resize(whole.size(), '\0');
            const Parsed parsed = Parse(bytes);
            if (cut < planText.size()) {
                EXPECT_FALSE(parsed.read);
                EXPECT_TRUE(parsed.why == "it ends inside its plan" ||
                            parsed.why == "its checksum does not match" ||
                            parsed.why == "it is not a journal of this program" ||
                            parsed.why == "its token is damaged")
                    << parsed.why;
                continue;
            }
            size_t inForce = 0, end = planText.size();
            while (inForce < records.size() && (end += records[inForce].size()) <= cut)
                ++inForce;
            ASSERT_TRUE(parsed.read) << parsed.why;
            EXPECT_EQ(PhaseName(parsed.phase), std::string(phases[inForce]));
            EXPECT_EQ(PlanText(parsed.plan), planText);
            EXPECT_EQ(Marks(parsed.plan), marks[std::min<size_t>(inForce, 2)]);
        }
    }
}

// Journals with a right checksum that no update of this program writes: a
// name it could not have used, staging names not its own, records out of
// place. Each is unreadable, and the reason is the one the log gives.
TEST(JournalFormat, WhatNoUpdateWritesIsUnreadableAndSaysWhy)
{
    const InstallPlan sample = SamplePlan();
    auto withFile = [&](const std::wstring& target, const std::wstring& temp,
                        const std::wstring& kept = std::wstring()) {
        InstallPlan plan;
        plan.token = kToken;
        PlannedFile file = File(plan, target, !kept.empty());
        file.temp = temp;
        file.kept = kept;
        plan.files.push_back(file);
        return PlanText(plan);
    };
    auto withFolder = [&](const std::wstring& folder) {
        InstallPlan plan;
        plan.token = kToken;
        plan.directories.push_back({folder, "", ""});
        return PlanText(plan);
    };
    const std::string planText = PlanText(sample);
    // A record whose checksum is one digit off.
    auto damaged = [](std::string record) {
        char& digit = record[record.find('\n') - 1];
        digit = digit == '0' ? '1' : '0';
        return record;
    };
    InstallPlan badToken;
    badToken.token = L"7-xyz";
    std::string changed = planText;
    changed[changed.find("patcher.exe")] = 'q';
    InstallPlan twice;
    twice.token = kToken;
    twice.files.push_back(File(twice, L"a.dat"));
    twice.files.push_back(File(twice, L"A.DAT"));
    std::string otherRecord = withFolder(L"maps");
    otherRecord.insert(otherRecord.find("dir"), "copy\tx\n");
    const std::string noFile = "a file record names no file of the install";
    const std::string notOwn = "a file record names staging files that are not its own";
    const struct {
        const char* label;
        std::string bytes;
        std::string why;
    } rows[] = {
        {"an earlier format", "vestrel journal 2" + planText.substr(planText.find('\n')),
         "it is not a journal of this program"},
        {"a damaged token", PlanText(badToken), "its token is damaged"},
        {"a changed byte", changed, "its checksum does not match"},
        {"a target outside the folder", withFile(L"..\\outside.txt", L"..\\~vestrel-7-0000abcd-0.tmp"), noFile},
        {"a target through a folder's parent",
         withFile(L"maps\\..\\..\\outside.txt", L"maps\\..\\..\\~vestrel-7-0000abcd-0.tmp"), noFile},
        {"an absolute target", withFile(L"C:\\outside.txt", L"~vestrel-7-0000abcd-0.tmp"), noFile},
        {"a rooted target", withFile(L"\\outside.txt", L"\\~vestrel-7-0000abcd-0.tmp"), noFile},
        {"a name no Windows file has", withFile(L"sav*\\slot1.sav", L"sav*\\~vestrel-7-0000abcd-0.tmp"), noFile},
        {"the updater's own log", withFile(L"vestrel_logs.txt", L"~vestrel-7-0000abcd-0.tmp"), noFile},
        {"a temporary file it did not make", withFile(L"maps\\new.map", L"readme.txt"), notOwn},
        {"another update's staging file",
         withFile(L"maps\\a.map", L"maps\\~vestrel-1-00000000-0.tmp"), notOwn},
        {"a kept file it did not make",
         withFile(L"patcher.exe", L"~vestrel-7-0000abcd-0.tmp", L"readme.txt"), notOwn},
        {"a kept file that is an earlier record's (journal 2 chained them)",
         planText.substr(0, planText.find("\t7:")) + "\t=0\n" +
             planText.substr(planText.find('\n', planText.find("\t7:")) + 1),
         "a file record does not say what its files hold"},
        {"two records for one file", PlanText(twice), "two file records name one file"},
        {"a folder outside", withFolder(L".."), "a folder record names no folder of the install"},
        {"a damaged made record", planText + damaged(MadeRecord(sample)) + MovingRecord(sample),
         "its record of the folders it made is damaged"},
        {"a damaged kept record", planText + damaged(MovingRecord(sample)),
         "its record of the copies it kept is damaged"},
        {"a record after moved", planText + MovingRecord(sample) + MovedRecord() + "moving\n",
         "it ends in a record it should not"},
        {"a record of another kind", otherRecord, "it holds a record it should not"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const Parsed parsed = Parse(row.bytes);
        EXPECT_FALSE(parsed.read) << row.bytes;
        EXPECT_EQ(parsed.why, row.why) << row.bytes;
    }
}
