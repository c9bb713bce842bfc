// A process's output read by cursor through the C++ API and FreeTDS from a real agent, whose log
// writer rotates the logs under the reader: numbered lines followed across rotations, what a
// slow reader lost, bytes of any value, and waits for more.
#include "support/agent_process.h"
#include "support/client.h"
#include "support/cpp_process.h"

#include <agentclient/agentclient.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

namespace ac = agentclient;
using namespace std::chrono_literals;

namespace {

// An agent rotating its logs at 1 KiB, keeping backups, and a connection to it, which waits
// the default 30 seconds for a reply.
struct OutputAgent {
    explicit OutputAgent(int backups, std::vector<std::string> more = {})
        : agent(std::nullopt, Options(backups, std::move(more))),
          connection(agent.Name(), AgentProcess::kUser, AgentProcess::kPassword)
    {
    }

    static std::vector<std::string> Options(int backups, std::vector<std::string> more)
    {
        more.insert(more.end(), {"--log-max-bytes", "1024", "--log-backups", std::to_string(backups)});
        return more;
    }

    // Starts process name running command.
    ac::Process Run(const std::string &name, const std::string &command)
    {
        ac::Process process = Sleeper(name);
        process.command     = command;
        connection.Start(process);
        return process;
    }

    // The output from cursor on, read until it holds at least size bytes or a wait brings none.
    ac::Output ReadUntil(const ac::Process &process, std::int64_t cursor, std::size_t size)
    {
        ac::Output all{.data = {}, .lost = 0, .cursor = cursor};
        while (all.data.size() < size) {
            const ac::Output part = connection.ReadOutput(process, all.cursor, 0, kWaitLimit);
            if (part.data.empty() && part.lost == 0) {
                break;
            }
            all.data += part.data;
            all.lost += part.lost;
            all.cursor = part.cursor;
        }
        return all;
    }

    AgentProcess agent;
    ac::Connection connection;
};

std::string Numbers(int first, int last)
{
    std::string text;
    for (int number = first; number <= last; ++number) {
        text += std::to_string(number) + "\n";
    }
    return text;
}

// A FIFO the test writes to, open for writing from the start so that a process can open it and
// read what was written whenever it gets there.
struct Gate {
    explicit Gate(std::filesystem::path fifo) : path(std::move(fifo))
    {
        mkfifo(path.c_str(), 0600);
        fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    }
    ~Gate() { close(fd); }
    void Open() const { EXPECT_EQ(write(fd, "go\n", 3), 3); }

    std::filesystem::path path;
    int fd;
};

// Numbered lines written in two bursts, with some 24 rotations, followed by cursor: none lost,
// none repeated, the cursor the count of bytes written.
TEST(Output, AReaderThatKeepsUpFollowsRotationsMissingNothing)
{
    OutputAgent agent(1000);
    const Gate gate(agent.agent.Home() / "gate");
    const ac::Process process =
        agent.Run("count", "seq 1 2500; read go < " + gate.path.string() + "; exec seq 2501 5000");
    ac::Output followed = agent.ReadUntil(process, 0, Numbers(1, 2500).size());
    ASSERT_EQ(followed.data, Numbers(1, 2500));
    gate.Open();
    const ac::Output rest = agent.ReadUntil(process, followed.cursor, Numbers(2501, 5000).size());
    EXPECT_EQ(rest.lost, 0);
    EXPECT_EQ(rest.data, Numbers(2501, 5000));
    EXPECT_EQ(rest.cursor, static_cast<std::int64_t>(Numbers(1, 5000).size()));
    EXPECT_TRUE(std::filesystem::exists(agent.agent.Home() / "logs" / "count.log.20"));
    // The last lines come from the log and its backups alike.
    EXPECT_EQ(agent.connection.ReadOutput(process, -1, 300, 0s).data, Numbers(4701, 5000));
}

// A reader that comes once the output has been rotated away but for two backups is told exactly
// how many bytes it lost: the offset of the first byte kept.
TEST(Output, ASlowReaderIsToldWhatItLost)
{
    OutputAgent agent(2);
    const ac::Process process = agent.Run("count", "exec seq 1 5000");
    const std::string all     = Numbers(1, 5000);
    ASSERT_TRUE(Eventually([&] { return agent.connection.ReadOutput(process, -1, 1, 0s).data == "5000\n"; }));
    std::size_t kept = 0;
    for (const char *file : {"count.log", "count.log.1", "count.log.2"}) {
        kept += std::filesystem::file_size(agent.agent.Home() / "logs" / file);
    }
    const ac::Output late = agent.ReadUntil(process, 0, kept);
    EXPECT_EQ(late.lost, static_cast<std::int64_t>(all.size() - kept));
    EXPECT_EQ(late.data, all.substr(all.size() - kept));
    EXPECT_EQ(late.cursor, static_cast<std::int64_t>(all.size()));
}

// Every byte value, zero bytes too, comes back as the process wrote it.
TEST(Output, BytesOfEveryValueComeBackAsWritten)
{
    OutputAgent agent(5);
    std::string bytes;
    for (int value = 0; value < 256; ++value) {
        bytes += static_cast<char>(value);
    }
    const ac::Process process = agent.Run("binary", "exec perl -e 'print map { chr } 0..255'");
    EXPECT_EQ(agent.ReadUntil(process, 0, bytes.size()).data, bytes);
}

// With --log-timestamps each line begins with its time.
TEST(Output, LinesBeginWithTheirTimeWhenAsked)
{
    OutputAgent agent(5, {"--log-timestamps"});
    const ac::Process process = agent.Run("stamped", "exec seq 1 2");
    const std::string text    = agent.ReadUntil(process, 0, 2 * 27).data;
    EXPECT_THAT(text,
                testing::MatchesRegex("([0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[.][0-9]{3}Z [12]\n){2}"));
}

// A wait ends as soon as output comes, or at its end with nothing at the same cursor; a process
// the agent does not know is refused, one without a log yet has nothing at cursor 0.
TEST(Output, AWaitEndsWhenOutputComesOrAtItsEnd)
{
    OutputAgent agent(5);
    const Gate gate(agent.agent.Home() / "gate");
    const ac::Process process = agent.Run("late", "echo early; read go < " + gate.path.string() + "; echo late");
    const ac::Output early    = agent.ReadUntil(process, 0, 6);
    ASSERT_EQ(early.data, "early\n");
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(agent.connection.ReadOutput(process, early.cursor, 0, 1s), (ac::Output{"", 0, early.cursor}));
    EXPECT_GE(std::chrono::steady_clock::now() - before, 1s);

    auto waiting = std::async(std::launch::async, [&] {
        ac::Connection other(agent.agent.Name(), AgentProcess::kUser, AgentProcess::kPassword);
        return other.ReadOutput(process, early.cursor, 0, 20s);
    });
    gate.Open();
    ASSERT_EQ(waiting.wait_for(kWaitLimit), std::future_status::ready);
    EXPECT_EQ(waiting.get().data, "late\n");

    EXPECT_THAT(Refusal([&] { agent.connection.ReadOutput(Sleeper("nobody"), 0, 0, 0s); }).AgentText(),
                testing::HasSubstr("unknown process nobody"));
    const ac::Process quiet = Sleeper("quiet");
    agent.connection.Add(ac::Service{"defined", ac::ServiceType::kMaster, ac::ServiceStart::kNonAuto, {{quiet, {}}}});
    EXPECT_EQ(agent.connection.ReadOutput(quiet, 0, 0, 0s), (ac::Output{"", 0, 0}));
}

}  // namespace
