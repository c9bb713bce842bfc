// paagentd as a whole, run as a child process: its options, its processes' logs, its notices
// to systemd.
#include <gmock/gmock.h>

#include <algorithm>
#include <config/config_file.h>
#include <cstring>
#include <fstream>
#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>

#include "core/proc_entry.h"
#include "tests/agent_fixture.h"
#include "tests/paagentd_child.h"

namespace paagent::tds::testing {
namespace {

using paagent::testing::Eventually;
using paagent::testing::ReadLog;
using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// Options that cannot be taken are refused by name, a login key others may read is refused;
// --check, and a start, read the configuration and the checks directory and say which line is
// wrong, or that the configuration was cut short before its routing section; a checks file of a
// process no service defines is only a warning.
TEST(AgentOptions, AreRefusedByNameAndCheckSaysWhichLineIsWrong)
{
    TempDir files;
    const std::filesystem::path good = files.Path() / "good.cfg", bad = files.Path() / "bad.cfg",
                                cut = files.Path() / "cut.cfg", key = files.Path() / "key.pem";
    std::ofstream(key).flush();
    std::filesystem::permissions(key, std::filesystem::perms(0640));
    const std::string header = agentclient::config::FormatConfig({});
    std::ofstream(good) << header;
    std::ofstream(bad) << header << "not a record\n";
    std::ofstream(cut) << header.substr(0, header.find("zeb_routing"));
    const std::string bad_line             = std::to_string(std::count(header.begin(), header.end(), '\n') + 1);
    const std::filesystem::path bad_checks = files.Path() / "bad.d", undefined_checks = files.Path() / "undefined.d";
    for (const auto &[dir, text] : {std::pair{bad_checks, "ready = notify\ninterval = soon\n"},
                                    std::pair{undefined_checks, "ready = notify\n"}}) {
        std::filesystem::create_directory(dir);
        std::ofstream(dir / "web.conf") << text;
        std::filesystem::permissions(dir / "web.conf", std::filesystem::perms(0644));
    }
    const std::string bad_checks_line = (bad_checks / "web.conf").string() + ":2: bad value 'soon' for interval";
    const std::tuple<std::vector<std::string>, bool, std::string> cases[] = {
        {{"--max-pending", "0"}, false, "--max-pending"},
        {{"--log-max-bytes", "1073741825"}, false, "--log-max-bytes"},
        {{"--require-encrypted-login", "--allow-clear-login"}, false, "excludes"},
        {{"--login-key", key}, false, "login key file " + key.string() + " may be read or written by its group"},
        {{"--check", "--config", good}, true, good.string() + ": ok"},
        {{"--check", "--config", good}, true, "user " + kAgentUser + ": admin, uids any\n"},
        {{"--check", "--config", bad}, false, bad.string() + ": line " + bad_line},
        {{"--check", "--config", cut}, false, "the file looks cut short"},
        {{"--config", bad}, false, bad.string() + ": line " + bad_line},
        {{"--check", "--config", good, "--checks-dir", bad_checks}, false, bad_checks_line},
        {{"--config", good, "--checks-dir", bad_checks}, false, bad_checks_line},
        {{"--check", "--config", good, "--checks-dir", undefined_checks},
         true,
         "warning: " + (undefined_checks / "web.conf").string() + ": a file for a process that is not defined"},
    };
    for (const auto &[options, succeeds, shown] : cases) {
        AgentExit exit = RunPaagentd(options);
        EXPECT_EQ(exit.status == 0, succeeds) << exit.output;
        EXPECT_THAT(exit.output, HasSubstr(shown));
    }
}

// Options for an agent that starts the command at once, as process "auto" of an automatic
// service, from a configuration file it writes in the directory; more options follow.
std::vector<std::string> StartingAtOnce(const TempDir &directory, const std::string &command,
                                        std::vector<std::string> more = {})
{
    const std::string config = (directory.Path() / "pa.cfg").string();
    Service service          = paagent::testing::MakeService("auto", {paagent::testing::MakeProcess("auto", command)});
    service.start            = ServiceStart::kAuto;
    agentclient::config::SaveConfig(config, {{service}, {}});
    more.insert(more.begin(), {"--config", config});
    return more;
}

// A process's log, standard error included, is rotated under it at the size given, and no line
// it wrote is lost. The home the agent created, and its logs, are its user's alone under umask 0.
TEST(AgentLogs, RotatedUnderAFastWriterLoseNoLine)
{
    constexpr int kLines = 20000;
    TempDir directory;
    PaagentdChild agent(StartingAtOnce(directory, "seq 1 " + std::to_string(kLines) + " >&2",
                                       {"--log-max-bytes", "4096", "--log-backups", "100"}));
    std::string expected;
    for (int line = 1; line <= kLines; ++line) {
        expected += std::to_string(line) + "\n";
    }
    const std::filesystem::path logs = agent.Home() / "logs";
    for (const auto &made : {agent.Home(), logs}) {
        EXPECT_EQ(std::filesystem::status(made).permissions(), std::filesystem::perms::owner_all) << made;
    }
    // NAME.log.K (the oldest) down to NAME.log.1, then NAME.log.
    std::string text;
    auto read_logs = [&] {
        text.clear();
        for (int number = 100; number >= 0; --number) {
            text += ReadLog(logs / ("auto.log" + (number > 0 ? "." + std::to_string(number) : "")));
        }
        return text.size() >= expected.size();
    };
    ASSERT_TRUE(agent.Log().WaitFor("process auto finished"));
    Eventually(read_logs);
    EXPECT_EQ(text, expected);
    EXPECT_TRUE(std::filesystem::exists(logs / "auto.log.20"));
    for (const auto &file : std::filesystem::directory_iterator(logs)) {
        EXPECT_LE(file.file_size(), 4096u) << file.path();
    }
}

// A program that waits for children until it has none left ends, its output in its log: the log
// writer is none of its children. Nor is anything left unreaped.
TEST(AgentLogs, AProgramWaitingForAllItsChildrenEnds)
{
    TempDir directory;
    PaagentdChild agent(
        StartingAtOnce(directory, "exec perl -e 'fork or exec qw(sleep 0.2); 1 while wait != -1; print qq(done\\n)'"));
    ASSERT_TRUE(agent.Log().WaitFor("process auto finished"));
    EXPECT_TRUE(Eventually([&] { return ReadLog(agent.Home() / "logs" / "auto.log") == "done\n"; }));
    // The writer, orphaned, comes back to the agent, its subreaper, which reaps it once it ends.
    EXPECT_TRUE(Eventually([&] {
        int children = 0;
        for (const auto &process : std::filesystem::directory_iterator("/proc")) {
            const auto entry = ReadEntry(process.path().filename());
            children += entry && entry->parent == agent.Pid() ? 1 : 0;
        }
        return children == 0;
    }));
}

// What a process writes once its agent has ended reaches its log, whether the agent was killed
// with its process group or stopped the process first, with SIGKILL for a process that ignores
// SIGTERM: the log writer is in neither group and outlives both.
TEST(AgentLogs, OutputAfterTheAgentEndedReachesTheLog)
{
    for (const int signal : {SIGKILL, SIGTERM}) {
        SCOPED_TRACE(sigabbrev_np(signal));
        TempDir directory;
        const std::filesystem::path fifo = directory.Path() / "fifo";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        // Its child, in a session of its own, outlives a stop and writes the line the test sends.
        PaagentdChild agent(StartingAtOnce(directory,
                                           "trap '' TERM; setsid sh -c 'read line < " + fifo.string() +
                                               " && echo \"$line\"' & echo $$; exec sleep 1000",
                                           {"--grace", "0.2"}));
        const std::filesystem::path log = agent.Home() / "logs" / "auto.log";
        ASSERT_TRUE(Eventually([&] { return ReadLog(log).ends_with('\n'); }));
        const paagent::testing::GroupKiller killer{std::stoi(ReadLog(log))};
        agent.End(signal);
        // Open for reading too, so that neither the open nor the line waits for the reader.
        const FileDescriptor sender(::open(fifo.c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_EQ(::write(sender.Get(), "after\n", 6), 6);
        EXPECT_TRUE(Eventually([&] { return ReadLog(log).ends_with("\nafter\n"); })) << ReadLog(log);
    }
}

// The write calls of the agent's log writer, failed ones too, from /proc/PID/io, once it has
// set its log up and waits in poll for output (from /proc/PID/syscall); none before.
std::optional<long> LogWriterWrites(pid_t agent)
{
    for (const auto &process : std::filesystem::directory_iterator("/proc")) {
        const auto entry = ReadEntry(process.path().filename());
        std::string command;
        std::ifstream(process.path() / "comm") >> command;
        if (!entry || entry->parent != agent || command != "paagentd-log-wr") {
            continue;
        }
        long call = -1;
        std::ifstream(process.path() / "syscall") >> call;
        if (call != SYS_poll && call != SYS_ppoll) {
            return std::nullopt;
        }
        std::ifstream io(process.path() / "io");
        std::string field;
        for (long value = 0; io >> field >> value;) {
            if (field == "syscw:") {
                return value;
            }
        }
    }
    return std::nullopt;
}

// On a full disk a process's output is dropped and counted while the process goes on: once there
// is room again, its log says what was lost, then takes the next lines.
TEST(AgentLogs, AFullDiskLosesOutputButNotTheProcess)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a file system to fill takes root";
    }
#if defined(__SANITIZE_THREAD__)
    // The test waits for the writer's count of write calls to grow, which the sanitizer's own
    // writes from that process blur.
    GTEST_SKIP() << "the log writer's writes cannot be counted under ThreadSanitizer";
#endif
    TempDir directory;
    const std::filesystem::path fifo = directory.Path() / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // The agent in a mount namespace of its own, its logs on a small file system a file fills.
    const std::vector<std::string> full_logs = {
        "/usr/bin/unshare",
        "--mount",
        "sh",
        "-c",
        "for arg; do [ \"$previous\" = --home ] && logs=$arg/logs; previous=$arg; done; umask 077; "
        "mkdir -p \"$logs\" && mount -t tmpfs -o size=64k,mode=0700 tmpfs \"$logs\" && "
        "{ cat /dev/zero > \"$logs/filler\" 2> /dev/null; exec \"$@\"; }",
        "sh"};
    // It writes a line when the test says so, then the line the test sends.
    const std::string read_line = "read line < " + fifo.string() + " && echo \"$line\"";
    PaagentdChild agent(StartingAtOnce(directory, read_line + "; " + read_line + "; exec sleep 1000"), full_logs);
    const std::filesystem::path logs =
        std::filesystem::path("/proc") / std::to_string(agent.Pid()) / "root" / agent.Home().relative_path() / "logs";
    std::optional<long> writes;
    ASSERT_TRUE(Eventually([&] { return (writes = LogWriterWrites(agent.Pid())).has_value(); }));
    // Open for reading too, so that neither the open nor a line waits for the reader.
    const FileDescriptor sender(::open(fifo.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_EQ(::write(sender.Get(), "lost\n", 5), 5);
    ASSERT_TRUE(Eventually([&] {
        const std::optional<long> now = LogWriterWrites(agent.Pid());
        return now && *now > *writes;
    }));
    std::filesystem::remove(logs / "filler");
    const std::string notice = "paagentd-log-writer: 5 bytes of output lost (No space left on device)\n";
    EXPECT_TRUE(Eventually([&] { return ReadLog(logs / "auto.log") == notice; })) << ReadLog(logs / "auto.log");
    ASSERT_EQ(::write(sender.Get(), "after\n", 6), 6);
    EXPECT_TRUE(Eventually([&] { return ReadLog(logs / "auto.log") == notice + "after\n"; }))
        << ReadLog(logs / "auto.log");
    EXPECT_FALSE(std::filesystem::exists(logs / "auto.log.start.new"));
}

// Under systemd the agent says it is ready once it listens, and that it stops on SIGTERM.
TEST(AgentService, TellsTheServiceManagerWhenReadyAndWhenStopping)
{
    TempDir directory;
    const std::string path = (directory.Path() / "notify").string();
    FileDescriptor manager(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{AF_UNIX, {}};
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(manager.Get(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    auto next_notice = [&] {
        pollfd ready{manager.Get(), POLLIN, 0};
        char notice[512];
        const int limit   = static_cast<int>(std::chrono::milliseconds(kWaitLimit).count());
        const ssize_t got = ::poll(&ready, 1, limit) == 1 ? ::recv(manager.Get(), notice, sizeof notice, 0) : 0;
        return std::string(notice, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    };
    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
    auto agent = std::make_unique<PaagentdChild>();
    ::unsetenv("NOTIFY_SOCKET");
    EXPECT_THAT(next_notice(),
                AllOf(StartsWith("READY=1\n"), EndsWith(" listening on 127.0.0.1:" + std::to_string(agent->Port()))));
    agent.reset();
    EXPECT_EQ(next_notice(), "STOPPING=1");
}

}  // namespace
}  // namespace paagent::tds::testing
