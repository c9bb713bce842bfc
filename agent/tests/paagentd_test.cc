// paagentd as a whole, run as a child process: its options, its processes' logs, its notices
// to systemd.
#include <gmock/gmock.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "core/config_file.h"
#include "tests/agent_fixture.h"
#include "tests/paagentd_child.h"

namespace paagent::tds::testing {
namespace {

using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// Options that cannot be taken are refused by name, a login key others may read is refused;
// --check, and a start, read the configuration and say which line is wrong, or that it was cut
// short before its routing section.
TEST(AgentOptions, AreRefusedByNameAndCheckSaysWhichLineIsWrong)
{
    paagent::testing::TempDir files;
    const std::filesystem::path good = files.Path() / "good.cfg", bad = files.Path() / "bad.cfg",
                                cut = files.Path() / "cut.cfg", key = files.Path() / "key.pem";
    std::ofstream(key).flush();
    std::filesystem::permissions(key, std::filesystem::perms(0640));
    const std::string header = FormatConfig({});
    std::ofstream(good) << header;
    std::ofstream(bad) << header << "not a record\n";
    std::ofstream(cut) << header.substr(0, header.find("zeb_routing"));
    const std::string bad_line = std::to_string(std::count(header.begin(), header.end(), '\n') + 1);
    const std::tuple<std::vector<std::string>, bool, std::string> cases[] = {
        {{"--max-pending", "0"}, false, "--max-pending"},
        {{"--require-encrypted-login", "--allow-clear-login"}, false, "excludes"},
        {{"--login-key", key}, false, key.string() + " may be read by other users"},
        {{"--check", "--config", good}, true, good.string() + ": ok"},
        {{"--check", "--config", bad}, false, bad.string() + ": line " + bad_line},
        {{"--check", "--config", cut}, false, "the file looks cut short"},
        {{"--config", bad}, false, bad.string() + ": line " + bad_line},
    };
    for (const auto &[options, succeeds, shown] : cases) {
        AgentExit exit = RunPaagentd(options);
        EXPECT_EQ(exit.status == 0, succeeds) << exit.output;
        EXPECT_THAT(exit.output, HasSubstr(shown));
    }
}

// A process's log, standard error included, is rotated under it at the size given, and no line
// it wrote is lost. The home the agent created, and its logs, are its user's alone under umask 0.
TEST(AgentLogs, RotatedUnderAFastWriterLoseNoLine)
{
    constexpr int kLines = 20000;
    paagent::testing::TempDir directory;
    const std::string config = (directory.Path() / "pa.cfg").string();
    ServiceSpec service      = paagent::testing::MakeService(
             "auto", {paagent::testing::MakeProcess("auto", "seq 1 " + std::to_string(kLines) + " >&2")});
    service.start = static_cast<std::int32_t>(ServiceStart::kAuto);
    SaveConfig(config, {{service}, {}});
    PaagentdChild agent({"--config", config, "--log-max-bytes", "4096", "--log-backups", "100"});
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
            std::ifstream input(logs / ("auto.log" + (number > 0 ? "." + std::to_string(number) : "")));
            text.append(std::istreambuf_iterator<char>(input), {});
        }
        return text.size() >= expected.size();
    };
    ASSERT_TRUE(agent.Log().WaitFor("process auto finished"));
    // The writer may still be copying the last lines once the process has finished.
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (!read_logs() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_EQ(text, expected);
    EXPECT_TRUE(std::filesystem::exists(logs / "auto.log.20"));
    for (const auto &file : std::filesystem::directory_iterator(logs)) {
        EXPECT_LE(file.file_size(), 4096u) << file.path();
    }
}

// Under systemd the agent says it is ready once it listens, and that it stops on SIGTERM.
TEST(AgentService, TellsTheServiceManagerWhenReadyAndWhenStopping)
{
    paagent::testing::TempDir directory;
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
