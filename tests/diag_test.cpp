// The log file and the report calls, checked through the bytes that land in
// vestrel_logs.txt and on standard output.
#include <windows.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "diag/log_file.h"
#include "diag/report.h"
#include "tests/support/test_support.h"

namespace {

std::string LogBytes()
{
    return ReadFileBytes(L"vestrel_logs.txt");
}

// Replaces each time stamp by "<>", so that whole entries can be compared.
std::string WithoutStamps(const std::string& log)
{
    return ReplaceLogStamps(log, "<>");
}

std::string ToCrLf(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

std::string SystemText(DWORD code)
{
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                       FORMAT_MESSAGE_ALLOCATE_BUFFER,
                   nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = text ? text : "";
    LocalFree(text);
    return result;
}

bool WithinTicks(unsigned field, DWORD before, DWORD after)
{
    const unsigned since = (field + 60000u - before % 60000u) % 60000u;
    return since <= after - before;
}

} // namespace

TEST(LogFile, EntryCarriesLocalMonthDayHourMinuteAndTickField)
{
    ScopedWorkDir dir;
    LogFile log;
    SYSTEMTIME before = {}, after = {};
    GetLocalTime(&before);
    const DWORD ticksBefore = timeGetTime();
    Report(&log, "hello %d", 7);
    const DWORD ticksAfter = timeGetTime();
    GetLocalTime(&after);

    const std::string bytes = LogBytes();
    std::smatch m;
    const std::regex entry(R"((\d\d)-(\d\d) (\d\d):(\d\d):(\d{5}) :: hello 7\r\n)");
    ASSERT_TRUE(std::regex_match(bytes, m, entry)) << "log: [" << bytes << "]";

    auto matches = [&](const SYSTEMTIME& t) {
        return std::stoi(m[1]) == t.wMonth && std::stoi(m[2]) == t.wDay &&
               std::stoi(m[3]) == t.wHour && std::stoi(m[4]) == t.wMinute;
    };
    EXPECT_TRUE(matches(before) || matches(after)) << "log: " << bytes;
    const unsigned tickField = static_cast<unsigned>(std::stoi(m[5]));
    EXPECT_LT(tickField, 60000u);
    EXPECT_TRUE(WithinTicks(tickField, ticksBefore, ticksAfter))
        << "tick field " << tickField << ", timeGetTime " << ticksBefore << ".." << ticksAfter;
}

TEST(LogFile, EachStartReplacesThePreviousLog)
{
    ScopedWorkDir dir;
    WriteFileBytes(L"vestrel_logs.txt", "an older run's entries\r\n");
    LogFile log;
    EXPECT_EQ(LogBytes(), "");
    Report(&log, "Error code: [%d]", 9);
    EXPECT_EQ(WithoutStamps(LogBytes()), "<>Error code: [9]\r\n");
}

TEST(LogFile, EntriesAreOnDiskAsSoonAsWritten)
{
    ScopedWorkDir dir;
    LogFile log;
    Report(&log, "first");
    EXPECT_EQ(WithoutStamps(LogBytes()), "<>first\r\n");
    Report(&log, "second");
    EXPECT_EQ(WithoutStamps(LogBytes()), "<>first\r\n<>second\r\n");
}

TEST(Report, KeepsAtMost1024CharactersThenTheLineEnd)
{
    ScopedWorkDir dir;
    LogFile log;
    const std::string exact(1024, 'a');
    const std::string longer = std::string(1024, 'b') + "cdef";
    StdoutCapture out;
    Report(&log, "%s", exact.c_str());
    Report(&log, "%s", longer.c_str());
    const std::string printed = out.Finish();

    EXPECT_EQ(WithoutStamps(LogBytes()),
              "<>" + exact + "\r\n<>" + std::string(1024, 'b') + "\r\n");
    EXPECT_EQ(printed, exact + "\n" + std::string(1024, 'b') + "\n");
}

TEST(Report, EmptyMessageGetsNoLineEnd)
{
    ScopedWorkDir dir;
    LogFile log;
    Report(&log, "%s", "");
    Report(&log, "next");
    const std::string bytes = LogBytes();
    EXPECT_EQ(WithoutStamps(bytes), "<><>next\r\n");
    EXPECT_EQ(CountLogStamps(bytes), 2u);
}

TEST(Report, MessageWithItsOwnLineEndIsFollowedByAnEmptyLine)
{
    ScopedWorkDir dir;
    LogFile log;
    StdoutCapture out;
    Report(&log, "Terminal failure: Unable to write to file.\n");
    EXPECT_EQ(out.Finish(), "Terminal failure: Unable to write to file.\n\n");
    EXPECT_EQ(WithoutStamps(LogBytes()), "<>Terminal failure: Unable to write to file.\r\n\r\n");
}

TEST(Report, TextPassedAsArgumentKeepsItsPercentSigns)
{
    ScopedWorkDir dir;
    LogFile log;
    Report(&log, "%s", "100% [%s] %d");
    EXPECT_EQ(WithoutStamps(LogBytes()), "<>100% [%s] %d\r\n");
}

TEST(Report, UnopenableLogStillReachesStandardOutput)
{
    ScopedWorkDir dir;
    ASSERT_TRUE(CreateDirectoryW(L"vestrel_logs.txt", nullptr));
    LogFile log;
    StdoutCapture out;
    Report(&log, "still reported %s", "here");
    EXPECT_EQ(out.Finish(), "still reported here\n");
    EXPECT_TRUE(DirectoryExists(L"vestrel_logs.txt"));
}

TEST(Print, WritesToStandardOutputOnlyAndAddsNothing)
{
    ScopedWorkDir dir;
    LogFile log;
    GlobalLogScope scope(&log);
    StdoutCapture out;
    Print("Unzipping [%lld] files...\n\n", 3LL);
    Print("All files unzipped.");
    EXPECT_EQ(out.Finish(), "Unzipping [3] files...\n\nAll files unzipped.");
    EXPECT_EQ(LogBytes(), "");
}

TEST(ReportLastError, WritesOneEntryWithTheSystemTextOnTheNextLine)
{
    ScopedWorkDir dir;
    LogFile log;
    GlobalLogScope scope(&log);
    StdoutCapture out;
    HANDLE file = CreateFileA("no-such-file.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_EQ(file, INVALID_HANDLE_VALUE);
    ReportLastError("CreateFileA");
    const std::string printed = out.Finish();

    const std::string systemText = SystemText(ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(systemText.empty());
    const std::string bytes = LogBytes();
    EXPECT_EQ(CountLogStamps(bytes), 1u) << bytes;
    EXPECT_EQ(WithoutStamps(bytes),
              "<>CreateFileA failed with error code 2 as follows:\r\n" + ToCrLf(systemText) + "\r\n");
    EXPECT_EQ(printed, "CreateFileA failed with error code 2 as follows:\n" + systemText + "\n");
}

TEST(ReportLastError, CodeAboveInt32MaxPrintsNegativeAndMissingTextStaysEmpty)
{
    ScopedWorkDir dir;
    LogFile log;
    GlobalLogScope scope(&log);
    ASSERT_EQ(SystemText(0xE0000001u), "");
    SetLastError(0xE0000001u);
    ReportLastError("DeviceIoControl");
    EXPECT_EQ(WithoutStamps(LogBytes()),
              "<>DeviceIoControl failed with error code -536870911 as follows:\r\n\r\n");
}

TEST(FormatBounded, RefusesZeroAndHugeCapacities)
{
    char buffer[8] = "xyz";
    EXPECT_EQ(FormatBounded(buffer, 0, "%s", "abc"), kFormatInvalidCapacity);
    EXPECT_STREQ(buffer, "xyz") << "capacity 0 must not touch the buffer";

    EXPECT_EQ(FormatBounded(buffer, static_cast<size_t>(2147483648u), "%s", "abc"),
              kFormatInvalidCapacity);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'y');
}

TEST(FormatBounded, CapacityOneHoldsOnlyTheEmptyText)
{
    char buffer[4] = "xyz";
    EXPECT_EQ(FormatBounded(buffer, 1, "%s", ""), 0);
    EXPECT_STREQ(buffer, "");

    strcpy(buffer, "xyz");
    EXPECT_EQ(FormatBounded(buffer, 1, "%s", "a"), kFormatTruncated);
    EXPECT_STREQ(buffer, "");
}

TEST(FormatBounded, ExactFitSucceedsAndOverflowKeepsTheLeadingCharacters)
{
    char buffer[16] = {};
    EXPECT_EQ(FormatBounded(buffer, 6, "%s%d", "hell", 0), 0);
    EXPECT_STREQ(buffer, "hell0");

    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(FormatBounded(buffer, 5, "%s", "hello"), kFormatTruncated);
    EXPECT_STREQ(buffer, "hell");
}
