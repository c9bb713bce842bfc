// paagentd as a whole, run as a child process: its log, its limits on connections and logins.
#include <gmock/gmock.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>

#include <protocol/rpc_table.h>

#include "core/config_file.h"
#include "core/rpc_handlers.h"
#include "core/state_file.h"
#include "tests/agent_fixture.h"
#include "tests/paagentd_child.h"
#include "tests/raw_client.h"

namespace paagent::tds::testing {
namespace {

using ::testing::Each;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// Texts a client chose, sent where the agent logs them, and how they appear in its log.
TEST(AgentLog, EscapesEveryTextAClientSent)
{
    PaagentdChild agent({"--debug", "3"});
    RawClient refused(agent.port());
    refused.log_in({"u\nFORGED user", "wrong", "h\rFORGED host\x1b[2J"}, kWaitLimit);
    RawClient accepted(agent.port());
    ASSERT_TRUE(accepted.log_in({kAgentUser, kAgentPassword, "h", "a\nFORGED app\\n"}, kWaitLimit).accepted);
    accepted.call("pa_Forged\nFORGED rpc", kWaitLimit);
    for (const char *logged : {"user 'u\\nFORGED user' from host 'h\\rFORGED host\\x1b[2J'",
                               "application 'a\\nFORGED app\\\\n'", "unknown RPC 'pa_Forged\\nFORGED rpc'"}) {
        EXPECT_TRUE(agent.log().wait_for(logged)) << logged;
    }
    EXPECT_THAT(agent.log().lines(), Each(Not(StartsWith("FORGED"))));
    EXPECT_THAT(agent.log().lines(), Each(Not(HasSubstr("\r"))));
}

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
        {{}, kStarts, "passwords in clear are accepted"},
        {{"--require-encrypted-login"}, kStarts, "passwords in clear are refused"},
        {{"--max-pending", "0"}, kFails, "--max-pending"},
        {{"--login-timeout", "soon"}, kFails, "--login-timeout"},
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

// SIGTERM stops the agent's processes, unless it was told to keep them for the next agent.
TEST(AgentOptions, KeepProcessesOnExitLeavesThemRunning)
{
    paagent::testing::TempDir directory;
    const std::filesystem::path config = directory.path() / "pa.cfg";
    ServiceSpec service =
        paagent::testing::MakeService("kept", {paagent::testing::MakeProcess("kept", "exec sleep 60")});
    service.start = static_cast<std::int32_t>(ServiceStart::Auto);
    save_config(config, {{service}, {}});
    for (const bool keep : {false, true}) {
        std::vector<std::string> options = {"--config", config.string()};
        if (keep)
            options.push_back("--keep-processes-on-exit");
        FileDescriptor process;
        pid_t pid = 0;
        {
            PaagentdChild agent(options);
            ASSERT_TRUE(agent.log().wait_for("started service kept"));
            std::ifstream state(agent.home() / "paagentd.state");
            const auto records = parse_state(std::string(std::istreambuf_iterator<char>(state), {}));
            ASSERT_EQ(records.size(), 1u);
            pid     = records[0].pid;
            process = FileDescriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
        }
        pollfd ended{process.get(), POLLIN, 0};
        EXPECT_EQ(::poll(&ended, 1, 0), keep ? 0 : 1) << "keep " << keep;
        ::kill(-pid, SIGKILL);
    }
}

// A service manager's socket, named to the agent in NOTIFY_SOCKET while it starts.
class NotifySocket {
public:
    explicit NotifySocket(const std::filesystem::path &path) : socket_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.string().copy(address.sun_path, sizeof address.sun_path - 1);
        if (::bind(socket_.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot bind " + path.string());
    }

    // Whether a notice holding the text comes within the wait limit.
    bool receives(const std::string &text)
    {
        const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
        for (;;) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd entry{socket_.get(), POLLIN, 0};
            if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) != 1)
                return false;
            char notice[512];
            ssize_t got = ::recv(socket_.get(), notice, sizeof notice, 0);
            if (got > 0 && std::string(notice, static_cast<std::size_t>(got)).find(text) != std::string::npos)
                return true;
        }
    }

private:
    FileDescriptor socket_;
};

TEST(AgentService, TellsTheServiceManagerItIsReadyAliveAndStopping)
{
    paagent::testing::TempDir directory;
    NotifySocket manager(directory.path() / "notify");
    setenv("NOTIFY_SOCKET", (directory.path() / "notify").c_str(), 1);
    setenv("WATCHDOG_USEC", "100000", 1);
    {
        PaagentdChild agent;
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        EXPECT_TRUE(manager.receives("READY=1"));
        EXPECT_TRUE(manager.receives("WATCHDOG=1"));
    }
    EXPECT_TRUE(manager.receives("STOPPING=1"));
}

// A process's log is rotated under it at the size given, and no line it wrote is lost.
TEST(AgentLogs, RotatedUnderAFastWriterLoseNoLine)
{
    constexpr int kLines = 20000;
    paagent::testing::TempDir directory;
    const std::filesystem::path config = directory.path() / "pa.cfg";
    Definitions definitions;
    ServiceSpec service = paagent::testing::MakeService(
        "writer", {paagent::testing::MakeProcess("writer", "seq 1 " + std::to_string(kLines))});
    service.start = static_cast<std::int32_t>(ServiceStart::Auto);
    save_config(config, {{service}, {}});
    PaagentdChild agent({"--config", config.string(), "--log-max-bytes", "4096", "--log-backups", "100"});
    const std::filesystem::path logs = agent.home() / "logs";
    // NAME.log.K (the oldest) down to NAME.log.1, then NAME.log.
    auto written = [&] {
        std::vector<std::filesystem::path> files;
        for (int number = 100; number >= 1; --number) {
            if (std::filesystem::exists(logs / ("writer.log." + std::to_string(number))))
                files.push_back(logs / ("writer.log." + std::to_string(number)));
        }
        files.push_back(logs / "writer.log");
        std::string text;
        for (const auto &file : files) {
            std::ifstream input(file);
            text.append(std::istreambuf_iterator<char>(input), {});
        }
        return std::make_pair(files, text);
    };
    std::string expected;
    for (int line = 1; line <= kLines; ++line)
        expected += std::to_string(line) + "\n";
    ASSERT_TRUE(agent.log().wait_for("process writer finished"));
    // The writer may still be copying the last lines once the process has finished.
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (written().second.size() < expected.size() && std::chrono::steady_clock::now() < deadline) {
        pollfd none{-1, 0, 0};
        ::poll(&none, 1, 10);
    }
    const auto [files, text] = written();
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
    ASSERT_TRUE(client.log_in({kInformUser, kInformPassword}, kWaitLimit).accepted);
    const std::string version(pa::protocol::kRpcs[pa::protocol::kVersionGet].name);
    EXPECT_NE(client.call(version, kWaitLimit).number, 0);
    EXPECT_TRUE(client.closed_by_server(kWaitLimit));
}

}  // namespace
}  // namespace paagent::tds::testing
