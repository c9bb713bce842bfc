// Every call comes back within the handle's time-out, reconnects and resends included, whatever
// the agent fails to do, and the handle works again once the agent answers.
#include "support/client.h"
#include "support/scripted_relay.h"
#include "tds/token_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The time-out of the handles under test: 3 seconds, or PA_BOUNDS_TIME_OUT to measure the
// bounds at another (each measured call is printed).
const int32_t kTimeOut = [] {
    const char *chosen = std::getenv("PA_BOUNDS_TIME_OUT");
    return chosen != nullptr ? std::atoi(chosen) : 3;
}();
// The time-out, the library's margin and room for a loaded machine: a call that draws a second
// time-out (a reconnect with a deadline of its own) does not fit.
const auto kBound = std::chrono::milliseconds((kTimeOut + 1) * 1000 + 1500);

// Makes a call and checks that it came back within the bound.
int32_t Bounded(const std::function<int32_t()> &call)
{
    Clock::time_point start = Clock::now();
    int32_t result          = call();
    auto took               = Clock::now() - start;
    EXPECT_LT(took, kBound);
    std::printf("bound of %d s: a call took %.2f s\n", kTimeOut, std::chrono::duration<double>(took).count());
    return result;
}

// A row format of two integer columns, and one row of it.
const std::string kTwoIntegers("\xEE\x12\x00\x02\x00"
                               "\x00\x00\x00\x00\x00\x00\x38\x00"
                               "\x00\x00\x00\x00\x00\x00\x38\x00",
                               21);
const std::string kRow("\xD1\x03\x00\x00\x00\x07\x00\x00\x00", 9);

std::string Rows(int count)
{
    std::string rows;
    for (int i = 0; i < count; ++i) {
        rows += kRow;
    }
    return rows;
}

struct Misbehaviour {
    const char *name;
    ScriptedRelay::Script script;
};

const Misbehaviour kMisbehaviours[] = {
    {"silent after accept", {ScriptedRelay::Step::kLogin, "", ""}},
    {"silent after login", {ScriptedRelay::Step::kFirstRpc, "", ""}},
    {"cut, then silent on the resend", {ScriptedRelay::Step::kFirstRpc, "", "", true}},
    {"reply stops half way", {ScriptedRelay::Step::kFirstRpc, TdsReplyPacket(kTwoIntegers + kRow, false), ""}},
    {"row without its format",
     {ScriptedRelay::Step::kFirstRpc, TdsReplyPacket(std::string("\xD1\xFD\0\0\0\0\0\0\0\0", 10), true), ""}},
    {"rows without end",
     {ScriptedRelay::Step::kFirstRpc, TdsReplyPacket(kTwoIntegers, false), TdsReplyPacket(Rows(400), false)}},
};

void PrintTo(const Misbehaviour &misbehaviour, std::ostream *out) { *out << misbehaviour.name; }

class Bounds : public testing::TestWithParam<Misbehaviour> {};

TEST_P(Bounds, EveryCallEndsWithinTheTimeOutAndTheHandleRecovers)
{
    AgentProcess agent;
    ScriptedRelay relay(agent, GetParam().script);
    Handle handle(PaConnectCreate(relay.Name().c_str(), "e2e-test", AgentProcess::kUser, AgentProcess::kPassword));
    ASSERT_EQ(PaSetResultsTimeOut(handle.get(), kTimeOut), PaSUCCESS);

    int32_t major = 0, minor = 0;
    auto version   = [&] { return PaServerGetVersionNo(handle.get(), &major, &minor); };
    int32_t result = Bounded([&] { return PaConnect(handle.get()); });
    if (result == PaSUCCESS) {
        result = Bounded(version);
    }
    EXPECT_NE(result, PaSUCCESS);
    EXPECT_NE(PaServerGetLastError(handle.get()), PaNO_ERROR);
    // The next call connects again into the same misbehaviour, within one bound all the same.
    EXPECT_NE(Bounded(version), PaSUCCESS);

    relay.Recover();
    if (PaConnectValidAndOpen(handle.get()) != PaSUCCESS) {
        PaConnect(handle.get());
    }
    EXPECT_EQ(PaServerGetVersionNo(handle.get(), &major, &minor), PaSUCCESS);
    EXPECT_EQ(major, 3);
}

INSTANTIATE_TEST_SUITE_P(Agent, Bounds, testing::ValuesIn(kMisbehaviours),
                         [](const testing::TestParamInfo<Misbehaviour> &param) {
                             std::string name = param.param.name;
                             for (char &c : name) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

// A frozen agent still accepts connections (the kernel completes them) but answers nothing.
TEST(Bounds, FrozenAgentFailsCallsInTimeAndServesAgainWhenThawed)
{
    AgentProcess agent;
    Handle handle = OpenHandle(agent);
    ASSERT_EQ(PaSetResultsTimeOut(handle.get(), kTimeOut), PaSUCCESS);
    int32_t major = 0, minor = 0;
    ASSERT_EQ(PaServerGetVersionNo(handle.get(), &major, &minor), PaSUCCESS);

    agent.Signal(SIGSTOP);
    ASSERT_TRUE(Eventually([&] { return StateOf(agent.Pid()) == 'T'; }));
    for (int call = 0; call < 2; ++call) {  // the second one reconnects
        EXPECT_NE(Bounded([&] { return PaServerGetVersionNo(handle.get(), &major, &minor); }), PaSUCCESS);
    }
    EXPECT_NE(Bounded([&] { return PaConnect(handle.get()); }), PaSUCCESS);

    agent.Signal(SIGCONT);
    EXPECT_EQ(PaServerGetVersionNo(handle.get(), &major, &minor), PaSUCCESS);
}

// A log collector of the test's own on 127.0.0.1: it answers every line a client sends with
// "ok", the first one after a delay.
class SlowPeer {
public:
    explicit SlowPeer(std::chrono::milliseconds delay)
        : delay_(delay), listener_(ListenOnFreePort(port_)), server_([this] { Serve(); })
    {
    }
    ~SlowPeer()
    {
        shutdown(listener_, SHUT_RDWR);
        if (client_ >= 0) {
            shutdown(client_, SHUT_RDWR);
        }
        server_.join();
        if (client_ >= 0) {
            close(client_);
        }
        close(listener_);
    }

    // A connection of the caller's own to the peer.
    int Connect() const { return ConnectTo(port_); }

private:
    void Serve()
    {
        client_   = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        char byte = 0;
        for (auto delay = delay_; client_ >= 0 && recv(client_, &byte, 1, 0) == 1;) {
            if (byte == '\n') {
                std::this_thread::sleep_for(std::exchange(delay, std::chrono::milliseconds(0)));
                send(client_, "ok\n", 3, MSG_NOSIGNAL);
            }
        }
    }

    std::chrono::milliseconds delay_;
    int port_ = 0;
    int listener_;
    std::atomic<int> client_{-1};
    std::thread server_;
};

// Sends a line on link and waits, in poll(2) as FreeTDS does, for its "ok": false when the
// socket failed or no answer came within ten seconds.
bool Ask(int link, const std::string &line)
{
    std::string request = line + "\n";
    pollfd polled{link, POLLIN, 0};
    char answer[3];
    return send(link, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size()) &&
           poll(&polled, 1, 10000) == 1 && recv(link, answer, sizeof answer, MSG_WAITALL) == sizeof answer;
}

struct Shipped {
    int link;
    int lines    = 0;
    int answered = 0;
};

// An agent's message of severity 16, as a TDS 5.0 extended error token.
std::string AgentMessage(const std::string &text)
{
    paagent::tds::TokenBuffer buffer;
    paagent::tds::PutEed(buffer, paagent::tds::ServerMessage::Error(50000, text), "relay");
    return std::string(buffer.Bytes().begin(), buffer.Bytes().end());
}

// The library touches no socket but its connection's: a logger that ships every line to a
// collector and waits for its answer keeps a working socket while the calls it logs for expire,
// even when the agent's message makes it run inside a login as the login's deadline passes.
TEST(Bounds, TheCallersOwnSocketsWorkThroughCallsThatExpire)
{
    AgentProcess agent;
    ScriptedRelay relay(agent, {ScriptedRelay::Step::kLogin, TdsReplyPacket(AgentMessage("hold on"), false), ""});
    SlowPeer collector(std::chrono::milliseconds(1500));
    Shipped shipped{collector.Connect()};
    PaSetUserLoggerFunc(
        [](int32_t, const char *text, const char *, void *data) {
            auto &to = *static_cast<Shipped *>(data);
            ++to.lines;
            to.answered += Ask(to.link, text) ? 1 : 0;
        },
        nullptr, &shipped);
    Handle silent(PaConnectCreate(relay.Name().c_str(), "e2e-test", AgentProcess::kUser, AgentProcess::kPassword));
    ASSERT_EQ(PaSetResultsTimeOut(silent.get(), 1), PaSUCCESS);
    EXPECT_NE(PaConnect(silent.get()), PaSUCCESS);
    int32_t major = 0, minor = 0;
    EXPECT_NE(PaServerGetVersionNo(silent.get(), &major, &minor), PaSUCCESS);
    PaRemoveUserLogFunc();
    EXPECT_GT(shipped.lines, 0);
    EXPECT_EQ(shipped.answered, shipped.lines);
    close(shipped.link);
}

// Runs argv and waits for its exit status within limit; -1 when it ran longer (it is killed).
int RunBounded(std::vector<std::string> argv, std::chrono::seconds limit)
{
    std::vector<char *> pointers(argv.size() + 1, nullptr);
    std::transform(argv.begin(), argv.end(), pointers.begin(), [](std::string &word) { return word.data(); });
    pid_t pid  = 0;
    int status = 0;
    if (posix_spawn(&pid, pointers[0], nullptr, nullptr, pointers.data(), environ) != 0) {
        return -1;
    }
    bool ended = Ends(pid, limit) || kill(pid, SIGKILL) != 0;
    waitpid(pid, &status, 0);
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Unloaded, the library stays in place for the thread that ends logins, which goes on ending
// them; where /proc is hidden, the log says that a login cannot be ended and a reply is still
// bounded.
TEST(Bounds, HowTheLibraryIsLoadedAndWhatItMaySee)
{
    AgentProcess agent;
    ScriptedRelay silent(agent, {ScriptedRelay::Step::kLogin, "", ""});
    EXPECT_EQ(RunBounded({BOUNDS_HELPER_PATH, "unload", AGENTCLIENT_SHARED_PATH, silent.Name()}, kWaitLimit), 0);

    if (geteuid() != 0) {
        GTEST_SKIP() << "hiding /proc needs root";
    }
    ScriptedRelay mute(agent, {ScriptedRelay::Step::kFirstRpc, "", ""});
    EXPECT_EQ(RunBounded({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                          "mount -t tmpfs none /proc && exec \"$0\" \"$@\"", BOUNDS_HELPER_PATH, "blind",
                          AGENTCLIENT_SHARED_PATH, mute.Name()},
                         kWaitLimit),
              0);
}

}  // namespace
