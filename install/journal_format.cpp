#include "install/journal_format.h"

#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "diag/text_codec.h"
#include "install/install_name.h"

namespace {

const char kHeader[] = "vestrel journal 3";
const char kMade[] = "made";
const char kKept[] = "kept";
const char kMoving[] = "moving\n";
const char kMoved[] = "moved\n";

std::string Hex(std::uint64_t value, int digits)
{
    char text[24] = {};
    snprintf(text, sizeof text, "%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string Checksum(const std::string& bytes)
{
    return Hex(crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(bytes.data()),
                     static_cast<uInt>(bytes.size())),
               8);
}

// What the kept file must be, in the journal's words.
std::string KeptIsText(const PlannedFile& file)
{
    if (file.kept.empty())
        return std::string();
    return std::to_string(file.keptStamp.size) + ":" + Hex(file.keptStamp.lastWrite, 16);
}

// A record that follows the plan, one value per folder or file of it and
// its own checksum, as ReadRecord reads it back.
std::string RecordText(const char* name, const std::vector<std::string>& values)
{
    std::string text = name;
    for (const std::string& value : values)
        text += "\t" + value;
    return text + "\t" + Checksum(text) + "\n";
}

// What the copies this update made of the files it keeps hold; nothing
// where every kept file is a second name of the one it keeps.
std::string KeptText(const InstallPlan& plan)
{
    std::vector<std::string> copies;
    bool anyCopy = false;
    for (const PlannedFile& file : plan.files) {
        copies.push_back(file.keptAsCopy ? Hex(file.keptCrc, 8) : std::string("-"));
        anyCopy = anyCopy || file.keptAsCopy;
    }
    return anyCopy ? RecordText(kKept, copies) : std::string();
}

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    return fields;
}

// "<process id>-<8 hex digits>", as StartPlan makes it.
bool IsToken(const std::string& token)
{
    const size_t dash = token.find('-');
    if (dash == std::string::npos || dash == 0 || dash > 10 || token.size() != dash + 9)
        return false;
    for (size_t i = 0; i < token.size(); ++i) {
        const char c = token[i];
        const bool ok = i < dash ? (c >= '0' && c <= '9')
                                 : i == dash || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        if (!ok)
            return false;
    }
    return true;
}

// A name an update of ours could have used: in the install's normal form.
bool IsInstallName(const std::string& utf8, std::wstring& name)
{
    std::wstring normal;
    return Utf8ToWide(utf8, name) && NormalizeInstallName(name, normal) && !normal.empty() &&
           normal == name;
}

// A whole decimal number of at most 20 digits, as std::to_string writes it.
bool ParseNumber(const std::string& text, std::uint64_t& value)
{
    if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0'))
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > (UINT64_MAX - (c - '0')) / 10)
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

bool ParseHex(const std::string& text, size_t digits, std::uint64_t& value)
{
    if (text.size() != digits)
        return false;
    value = 0;
    for (char c : text) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0)
            return false;
        value = value << 4 | static_cast<std::uint64_t>(digit);
    }
    return true;
}

// "<size>:<last-write time>" of the file that is kept; empty for a new file.
bool ParseKeptIs(const std::string& text, PlannedFile& file)
{
    if (file.kept.empty())
        return text.empty();
    const size_t colon = text.find(':');
    return colon != std::string::npos && ParseNumber(text.substr(0, colon), file.keptStamp.size) &&
           ParseHex(text.substr(colon + 1), 16, file.keptStamp.lastWrite);
}

bool ParseFile(const std::vector<std::string>& fields, InstallPlan& plan, std::string& why)
{
    PlannedFile file;
    if (fields.size() != 7 || !IsInstallName(fields[1], file.target)) {
        why = "a file record names no file of the install";
        return false;
    }
    // The staging names follow from the target, the token and the number.
    const size_t number = plan.files.size();
    file.temp = StagingName(file.target, plan.token, number, L".tmp");
    if (!fields[3].empty())
        file.kept = StagingName(file.target, plan.token, number, L".old");
    if (fields[2] != WideToUtf8(file.temp) || fields[3] != WideToUtf8(file.kept)) {
        why = "a file record names staging files that are not its own";
        return false;
    }
    std::uint64_t crc = 0;
    if (!ParseNumber(fields[4], file.size) || !ParseHex(fields[5], 8, crc) ||
        !ParseKeptIs(fields[6], file)) {
        why = "a file record does not say what its files hold";
        return false;
    }
    file.crc = static_cast<std::uint32_t>(crc);
    file.name = fields[1];
    // A target has one record, in any letter case.
    if (!plan.plannedFiles.emplace(FoldedName(file.target), plan.files.size()).second) {
        why = "two file records name one file";
        return false;
    }
    plan.files.push_back(file);
    return true;
}

// The plan's records, up to and including "end"; returns where its
// checksummed text ends, or npos.
size_t ParsePlan(const std::string& bytes, InstallPlan& plan, std::string& why)
{
    size_t start = 0;
    for (int line = 0;; ++line) {
        const size_t end = bytes.find('\n', start);
        if (end == std::string::npos) {
            why = "it ends inside its plan";
            return std::string::npos;
        }
        const std::vector<std::string> fields = Fields(bytes.substr(start, end - start));
        const size_t next = end + 1;
        if (line == 0 && (fields.size() != 1 || fields[0] != kHeader)) {
            why = "it is not a journal of this program";
            return std::string::npos;
        }
        if (line == 1) {
            if (fields.size() != 2 || fields[0] != "token" || !IsToken(fields[1])) {
                why = "its token is damaged";
                return std::string::npos;
            }
            Utf8ToWide(fields[1], plan.token);
        }
        if (line >= 2 && fields[0] == "end") {
            if (fields.size() != 2 || fields[1] != Checksum(bytes.substr(0, start))) {
                why = "its checksum does not match";
                return std::string::npos;
            }
            return next;
        }
        if (line >= 2 && fields[0] == "dir") {
            std::wstring folder;
            if (fields.size() != 2 || !plan.files.empty() || !IsInstallName(fields[1], folder)) {
                why = "a folder record names no folder of the install";
                return std::string::npos;
            }
            plan.directories.push_back(PlannedDirectory{folder, fields[1], std::string()});
        } else if (line >= 2 && fields[0] == "file") {
            if (!ParseFile(fields, plan, why))
                return std::string::npos;
        } else if (line >= 2) {
            why = "it holds a record it should not";
            return std::string::npos;
        }
        start = next;
    }
}

std::string WithoutTrailingZeros(std::string text)
{
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    return text;
}

bool IsFolderId(const std::string& id)
{
    std::uint64_t ignored = 0;
    return id == "-" || (id.size() == 25 && id[8] == '-' && ParseHex(id.substr(0, 8), 8, ignored) &&
                         ParseHex(id.substr(9), 16, ignored));
}

enum class RecordRead {
    Absent,     // another record, or none, is there
    NotInForce, // torn by a power cut; nothing follows it
    Whole,
    Damaged,
};

// The record named name at start, as RecordText writes it, with one value
// for each of count folders or files; start moves past it. A power cut can
// leave the last record torn (cut short, or padded with zero bytes where
// the file grew but its data never arrived): what a record says is acted on
// only once it is on disk, so a torn one was not yet in force.
RecordRead ReadRecord(const std::string& bytes, size_t& start, const char* name, size_t count,
                      std::vector<std::string>& values)
{
    const std::string record = std::string(name) + "\t";
    const std::string rest = WithoutTrailingZeros(bytes.substr(start));
    if (rest.compare(0, record.size(), record) != 0) {
        if (rest.empty() || record.compare(0, rest.size(), rest) != 0)
            return RecordRead::Absent;
        start = bytes.size();
        return RecordRead::NotInForce;
    }
    const size_t end = rest.find('\n');
    const std::string line = rest.substr(0, end);
    values = Fields(line);
    if (end != std::string::npos && values.size() == count + 2 &&
        values.back() == Checksum(line.substr(0, line.rfind('\t')))) {
        values.erase(values.begin());
        values.pop_back();
        start += end + 1;
        return RecordRead::Whole;
    }
    if (end == std::string::npos || end + 1 == rest.size()) {
        start = bytes.size();
        return RecordRead::NotInForce;
    }
    return RecordRead::Damaged;
}

// The "made" records, where the plan has folders, one for each level of
// them that was made; the last one says all. Without one no folder is known
// to be the update's by its id.
bool ParseMade(const std::string& bytes, size_t& start, InstallPlan& plan, std::string& why)
{
    if (plan.directories.empty())
        return true;
    for (;;) {
        std::vector<std::string> ids;
        switch (ReadRecord(bytes, start, kMade, plan.directories.size(), ids)) {
        case RecordRead::Absent:
        case RecordRead::NotInForce:
            return true;
        case RecordRead::Whole:
            if (!std::all_of(ids.begin(), ids.end(), IsFolderId))
                break;
            for (size_t i = 0; i < ids.size(); ++i)
                plan.directories[i].id = ids[i] == "-" ? std::string() : ids[i];
            continue;
        case RecordRead::Damaged:
            break;
        }
        why = "its record of the folders it made is damaged";
        return false;
    }
}

// The "kept" record, where the update kept copies: only a file it found and
// keeps can have one.
bool ParseKept(const std::string& bytes, size_t& start, InstallPlan& plan, std::string& why)
{
    std::vector<std::string> copies;
    switch (ReadRecord(bytes, start, kKept, plan.files.size(), copies)) {
    case RecordRead::Absent:
    case RecordRead::NotInForce:
        return true;
    case RecordRead::Whole:
        break;
    case RecordRead::Damaged:
        why = "its record of the copies it kept is damaged";
        return false;
    }
    for (size_t i = 0; i < copies.size(); ++i) {
        PlannedFile& file = plan.files[i];
        std::uint64_t crc = 0;
        if (copies[i] == "-")
            continue;
        if (file.kept.empty() || !ParseHex(copies[i], 8, crc)) {
            why = "its record of the copies it kept is damaged";
            return false;
        }
        file.keptAsCopy = true;
        file.keptCrc = static_cast<std::uint32_t>(crc);
    }
    return true;
}

// The phase records after the plan. A torn one (see ReadRecord) was not yet
// in force: the moves begin only after "moving" is on disk and the kept
// files go only after "moved" is, so the phase is the one before it.
bool ParsePhase(const std::string& bytes, JournalPhase& phase)
{
    const std::string records = std::string(kMoving) + kMoved;
    const std::string rest = WithoutTrailingZeros(bytes);
    if (records.compare(0, rest.size(), rest) != 0)
        return false;
    if (rest.size() == records.size())
        phase = JournalPhase::Moved;
    else if (rest.size() >= sizeof kMoving - 1)
        phase = JournalPhase::Moving;
    else
        phase = JournalPhase::Staging;
    return true;
}

} // namespace

std::string PlanText(const InstallPlan& plan)
{
    std::string text = std::string(kHeader) + "\ntoken\t" + WideToUtf8(plan.token) + "\n";
    for (const PlannedDirectory& directory : plan.directories)
        text += "dir\t" + WideToUtf8(directory.folder) + "\n";
    for (const PlannedFile& file : plan.files)
        text += "file\t" + WideToUtf8(file.target) + "\t" + WideToUtf8(file.temp) + "\t" +
                WideToUtf8(file.kept) + "\t" + std::to_string(file.size) + "\t" +
                Hex(file.crc, 8) + "\t" + KeptIsText(file) + "\n";
    return text + "end\t" + Checksum(text) + "\n";
}

std::string MadeRecord(const InstallPlan& plan)
{
    std::vector<std::string> ids;
    for (const PlannedDirectory& directory : plan.directories)
        ids.push_back(directory.id.empty() ? std::string("-") : directory.id);
    return RecordText(kMade, ids);
}

std::string MovingRecord(const InstallPlan& plan)
{
    return KeptText(plan) + kMoving;
}

std::string MovedRecord()
{
    return kMoved;
}

bool ParseJournal(const std::string& bytes, InstallPlan& plan, JournalPhase& phase,
                  std::string& why)
{
    const size_t planEnd = ParsePlan(bytes, plan, why);
    if (planEnd == std::string::npos)
        return false;
    size_t next = planEnd;
    if (!ParseMade(bytes, next, plan, why) || !ParseKept(bytes, next, plan, why))
        return false;
    if (!ParsePhase(bytes.substr(next), phase)) {
        why = "it ends in a record it should not";
        return false;
    }
    return true;
}
