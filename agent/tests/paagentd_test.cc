// paagentd as a whole, run as a child process: its options, its processes' logs, its service
// manager, its inform login.
#include <gmock/gmock.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <protocol/rpc_table.h>

#include "core/config_file.h"
#include "core/rpc_handlers.h"
#include "tests/agent_fixture.h"
#include "tests/paagentd_child.h"
#include "tests/raw_client.h"

namespace paagent::tds::testing {
namespace {

using ::testing::HasSubstr;

// Options and the files they name: an agent that starts shows what it took, one that cannot
// says why; --check reads the configuration and says which line is wrong.
TEST(AgentOptions, SetTheLimitsOrAreRefusedByName)
{
    paagent::testing::TempDir files;
    const std::filesystem::path good = files.path() / "good.cfg", bad = files.path() / "bad.cfg";
    const std::string header = format_config({});
    const auto bad_line      = std::count(header.begin(), header.end(), '\n') + 1;
    std::ofstream(good) << header;
    std::ofstream(bad) << header << "not a record\n";
    constexpr int kStarts = -1, kFails = 1;
    const struct {
        std::vector<std::string> options;
        int status;  // kStarts, or how it exits
        std::string shown;
    } cases[] = {
        {{"--max-pending", "7", "--max-sessions", "9", "--max-inform", "3", "--login-timeout", "2.5"},
         kStarts,
         "room for 7 connections logging in (2500 ms each), 9 sessions and 3 single-RPC sessions"},
        {{"--max-pending", "0"}, kFails, "--max-pending"},
        {{"--require-encrypted-login", "--allow-clear-login"}, kFails, "excludes"},
        {{"--check", "--config", good}, 0, good.string() + ": ok"},
        {{"--check", "--config", bad}, 1, bad.string() + ": line " + std::to_string(bad_line)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shown);
        if (c.status == kStarts) {
            PaagentdChild agent(c.options);
            EXPECT_TRUE(agent.log().wait_for(c.shown));
        } else {
            AgentExit exit = run_paagentd(c.options);
            EXPECT_EQ(exit.status == 0, c.status == 0) << exit.output;
            EXPECT_THAT(exit.output, HasSubstr(c.shown));
        }
    }
}

// A configuration file holding one automatic service of one process.
std::string AutomaticService(const paagent::testing::TempDir &directory, const std::string &command)
{
    ServiceSpec service = paagent::testing::MakeService("auto", {paagent::testing::MakeProcess("auto", command)});
    service.start       = static_cast<std::int32_t>(ServiceStart::Auto);
    save_config(directory.path() / "pa.cfg", {{service}, {}});
    return (directory.path() / "pa.cfg").string();
}

// Whether a notice holding the text comes to the socket within the wait limit.
bool Receives(const FileDescriptor &socket, const std::string &text)
{
    pollfd entry{socket.get(), POLLIN, 0};
    for (char notice[512]; ::poll(&entry, 1, static_cast<int>(std::chrono::milliseconds(kWaitLimit).count())) == 1;) {
        ssize_t got = ::recv(socket.get(), notice, sizeof notice, 0);
        if (got > 0 && std::string(notice, static_cast<std::size_t>(got)).find(text) != std::string::npos)
            return true;
    }
    return false;
}

// The service manager's socket is named to the agent in NOTIFY_SOCKET while it starts.
TEST(AgentService, TellsTheServiceManagerItIsReadyAliveAndStopping)
{
    paagent::testing::TempDir directory;
    FileDescriptor manager(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{AF_UNIX, {}};
    (directory.path() / "notify").string().copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(manager.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    setenv("NOTIFY_SOCKET", address.sun_path, 1);
    setenv("WATCHDOG_USEC", "100000", 1);
    {
        PaagentdChild agent;
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        EXPECT_TRUE(Receives(manager, "READY=1"));
        EXPECT_TRUE(Receives(manager, "WATCHDOG=1"));
    }
    EXPECT_TRUE(Receives(manager, "STOPPING=1"));
}

// A process's log, standard error included, is rotated under it at the size given, and no line
// it wrote is lost.
TEST(AgentLogs, RotatedUnderAFastWriterLoseNoLine)
{
    constexpr int kLines = 20000;
    paagent::testing::TempDir directory;
    const std::string config = AutomaticService(directory, "seq 1 " + std::to_string(kLines) + " >&2");
    PaagentdChild agent({"--config", config, "--log-max-bytes", "4096", "--log-backups", "100"});
    std::string expected;
    for (int line = 1; line <= kLines; ++line)
        expected += std::to_string(line) + "\n";
    // NAME.log.K (the oldest) down to NAME.log.1, then NAME.log.
    std::vector<std::filesystem::path> files;
    std::string text;
    auto read_logs = [&] {
        files.clear();
        text.clear();
        for (int number = 100; number >= 0; --number) {
            const auto file = agent.home() / "logs" / ("auto.log" + (number > 0 ? "." + std::to_string(number) : ""));
            std::ifstream input(file);
            if (input)
                files.push_back(file);
            text.append(std::istreambuf_iterator<char>(input), {});
        }
        return text.size() >= expected.size();
    };
    ASSERT_TRUE(agent.log().wait_for("process auto finished"));
    // The writer may still be copying the last lines once the process has finished.
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (!read_logs() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(text, expected);
    EXPECT_GT(files.size(), 20u);
    for (const auto &file : files)
        EXPECT_LE(std::filesystem::file_size(file), 4096u) << file;
}

// The inform login may call only the inform RPC, and from its own application; either way its
// session ends with its first RPC.
TEST(AgentLogins, InformSessionEndsAfterItsRpc)
{
    PaagentdChild agent;
    RawClient client(agent.port());
    ASSERT_TRUE(client.log_in({kInformUser, kInformPassword}).accepted);
    const std::string version(pa::protocol::kRpcs[pa::protocol::kVersionGet].name);
    EXPECT_NE(client.call(version).number, 0);
    EXPECT_TRUE(client.closed_by_server());
}

}  // namespace
}  // namespace paagent::tds::testing
