// Every call comes back within the handle's time-out, reconnects and resends included, whatever
// the agent fails to do, and the handle works again once the agent answers.
#include "support/client.h"
#include "support/scripted_relay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kTimeOut = 3;
// The time-out, the library's margin and room for a loaded machine: a call that draws a second
// time-out (a reconnect with a deadline of its own) does not fit.
constexpr auto kBound = std::chrono::milliseconds((kTimeOut + 1) * 1000 + 1500);

// Makes a call and checks that it came back within the bound.
int32_t Bounded(const std::function<int32_t()> &call)
{
    Clock::time_point start = Clock::now();
    int32_t result          = call();
    EXPECT_LT(Clock::now() - start, kBound);
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
    {"silent after accept", {ScriptedRelay::Step::Login, "", ""}},
    {"silent after login", {ScriptedRelay::Step::FirstRpc, "", ""}},
    {"cut, then silent on the resend", {ScriptedRelay::Step::FirstRpc, "", "", true}},
    {"reply stops half way", {ScriptedRelay::Step::FirstRpc, TdsReplyPacket(kTwoIntegers + kRow, false), ""}},
    {"row without its format",
     {ScriptedRelay::Step::FirstRpc, TdsReplyPacket(std::string("\xD1\xFD\0\0\0\0\0\0\0\0", 10), true), ""}},
    {"rows without end",
     {ScriptedRelay::Step::FirstRpc, TdsReplyPacket(kTwoIntegers, false), TdsReplyPacket(Rows(400), false)}},
};

void PrintTo(const Misbehaviour &misbehaviour, std::ostream *out) { *out << misbehaviour.name; }

class Bounds : public testing::TestWithParam<Misbehaviour> {};

TEST_P(Bounds, EveryCallEndsWithinTheTimeOutAndTheHandleRecovers)
{
    AgentProcess agent;
    ScriptedRelay relay(agent, GetParam().script);
    Handle handle(PaConnectCreate(relay.name().c_str(), "e2e-test", AgentProcess::kUser, AgentProcess::kPassword));
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
    ASSERT_TRUE(Eventually([&] { return StateOf(agent.pid()) == 'T'; }));
    for (int call = 0; call < 2; ++call) {  // the second one reconnects
        EXPECT_NE(Bounded([&] { return PaServerGetVersionNo(handle.get(), &major, &minor); }), PaSUCCESS);
    }
    EXPECT_NE(Bounded([&] { return PaConnect(handle.get()); }), PaSUCCESS);

    agent.Signal(SIGCONT);
    EXPECT_EQ(PaServerGetVersionNo(handle.get(), &major, &minor), PaSUCCESS);
}

}  // namespace
