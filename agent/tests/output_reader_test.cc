// Reading a process's output by cursor from the logs a real log writer rotates: the last lines,
// following across rotations, what was rotated away, and waits for more.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "agent_fixture.h"
#include "core/output_reader.h"

namespace {

using namespace paagent;
using namespace paagent::testing;
namespace fs = std::filesystem;
using Clock  = std::chrono::steady_clock;

constexpr std::size_t kAll = 1 << 20;

// Lines "line-0001\n" to the last, 10 bytes each.
std::string Lines(int first, int last)
{
    std::string text;
    for (int line = first; line <= last; ++line) {
        const std::string number = std::to_string(line);
        text += "line-" + std::string(4 - number.size(), '0') + number + "\n";
    }
    return text;
}

// Everything from cursor on, read max_bytes at a time, waiting for more up to the end given.
agentclient::Output ReadAll(const OutputReader &reader, std::int64_t cursor, std::size_t max_bytes,
                            std::int64_t end = 0)
{
    agentclient::Output all{.data = {}, .lost = 0, .cursor = cursor};
    for (;;) {
        const auto wait = all.cursor < end ? std::chrono::milliseconds(kWaitLimit) : std::chrono::milliseconds{};
        agentclient::Output part = reader.Read("p.log", all.cursor, 0, wait, max_bytes);
        all.lost += part.lost;
        all.data += part.data;
        all.cursor = part.cursor;
        if (part.data.empty() && part.lost == 0) {
            return all;
        }
    }
}

constexpr LogOptions Rotating(std::uint64_t max_bytes, int backups)
{
    return {.max_bytes = max_bytes, .backups = backups, .timestamps = false};
}

// Ten lines, four to a file: p.log.2 holds 1-4, p.log.1 5-8, p.log 9-10.
TEST(OutputReader, TheLastLinesLookIntoTheBackupsWhenTheLogHoldsFewer)
{
    TempDir logs;
    LogWriterThread writer(logs.Path(), Rotating(40, 5));
    EXPECT_TRUE(writer.Write(Lines(1, 10)));
    writer.Close();
    ASSERT_EQ(ReadLog(logs.Path() / "p.log"), Lines(9, 10));
    const OutputReader reader(logs.Path());
    const struct {
        std::int32_t lines;
        std::string expected;
    } cases[] = {{0, ""},           {1, Lines(10, 10)}, {2, Lines(9, 10)}, {3, Lines(8, 10)},
                 {7, Lines(4, 10)}, {10, Lines(1, 10)}, {50, Lines(1, 10)}};
    for (const auto &tail : cases) {
        const agentclient::Output output = reader.Read("p.log", -1, tail.lines, {}, kAll);
        EXPECT_EQ(output.data, tail.expected) << tail.lines;
        EXPECT_EQ(output.lost, 0) << tail.lines;
        EXPECT_EQ(output.cursor, 100) << tail.lines;
    }
    // A last line without its end is one of the last lines.
    LogWriterThread more(logs.Path(), Rotating(40, 5));
    EXPECT_TRUE(more.Write("tail"));
    more.Close();
    EXPECT_EQ(reader.Read("p.log", -1, 2, {}, kAll).data, Lines(10, 10) + "tail");
}

// A reader following a writer that rotates under it misses nothing and repeats nothing.
TEST(OutputReader, FollowsRotationsUnderItMissingNothing)
{
    TempDir logs;
    const OutputReader reader(logs.Path());
    LogWriterThread writer(logs.Path(), Rotating(400, 1000));
    const std::string expected = Lines(1, 2000);
    EXPECT_TRUE(writer.Write(expected));
    const agentclient::Output followed = ReadAll(reader, 0, 7, static_cast<std::int64_t>(expected.size()));
    EXPECT_EQ(followed.lost, 0);
    EXPECT_EQ(followed.data, expected);
    EXPECT_TRUE(fs::exists(logs.Path() / "p.log.49"));
}

// A reader that comes late is told how many bytes were rotated away; a new writer numbers on
// where the last one stopped.
TEST(OutputReader, CountsWhatWasRotatedAwayAcrossWriters)
{
    TempDir logs;
    const OutputReader reader(logs.Path());
    {
        LogWriterThread writer(logs.Path(), Rotating(40, 2));
        EXPECT_TRUE(writer.Write(Lines(1, 99)));
    }
    // The log holds 97-99, its backups 89-96.
    const agentclient::Output late = ReadAll(reader, 0, 7);
    EXPECT_EQ(late.lost, 880);
    EXPECT_EQ(late.data, Lines(89, 99));
    EXPECT_EQ(late.cursor, 990);
    {
        LogWriterThread writer(logs.Path(), Rotating(40, 5));
        EXPECT_TRUE(writer.Write(Lines(100, 110)));
    }
    EXPECT_EQ(ReadAll(reader, 990, kAll).data, Lines(100, 110));
    EXPECT_EQ(ReadAll(reader, 1090, kAll).cursor, 1100);
}

// A log an older writer left has no start file: it starts at 0. A cursor beyond the end, as a
// log removed by hand leaves, reads all that is kept again.
TEST(OutputReader, ALogWithoutStartFileStartsAtZero)
{
    TempDir logs;
    std::ofstream(logs.Path() / "p.log") << Lines(1, 3);
    const OutputReader reader(logs.Path());
    const agentclient::Output cases[] = {reader.Read("p.log", 0, 0, {}, kAll), reader.Read("p.log", 5000, 0, {}, kAll)};
    for (const auto &output : cases) {
        EXPECT_EQ(output, (agentclient::Output{.data = Lines(1, 3), .lost = 0, .cursor = 30}));
    }
    EXPECT_EQ(reader.Read("q.log", 0, 10, {}, kAll), (agentclient::Output{.data = {}, .lost = 0, .cursor = 0}));
}

// A wait ends as soon as output comes, at its end with nothing, or when the reader stops.
TEST(OutputReader, AWaitEndsWithOutputAtItsEndOrOnStop)
{
    TempDir logs;
    OutputReader reader(logs.Path());
    LogWriterThread writer(logs.Path(), Rotating(4096, 1));
    auto waiting = std::async(std::launch::async, [&] { return reader.Read("p.log", 0, 0, kWaitLimit, kAll); });
    EXPECT_TRUE(writer.Write("late\n"));
    ASSERT_EQ(waiting.wait_for(kWaitLimit / 2), std::future_status::ready);
    EXPECT_EQ(waiting.get().data, "late\n");

    auto start                       = Clock::now();
    const agentclient::Output output = reader.Read("p.log", 5, 0, std::chrono::milliseconds(300), kAll);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(output, (agentclient::Output{.data = {}, .lost = 0, .cursor = 5}));

    waiting = std::async(std::launch::async, [&] { return reader.Read("p.log", 5, 0, kWaitLimit, kAll); });
    reader.Stop();
    EXPECT_EQ(waiting.wait_for(kWaitLimit / 2), std::future_status::ready);
}

}  // namespace
