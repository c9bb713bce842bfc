// Every call comes back within the handle's time-out, whatever the agent fails to do, and the
// handle works again once the agent answers.
#include "support/client.h"
#include "support/scripted_relay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kTimeOut = 2;
// The time-out, the library's margin and room for a loaded machine; a call that hangs never
// comes back at all.
constexpr auto kBound = std::chrono::seconds(kTimeOut + 1 + 4);

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
    {"reply stops half way", {ScriptedRelay::Step::FirstRpc, TdsReplyPacket(kTwoIntegers + kRow, false), ""}},
    {"row without its format",
     {ScriptedRelay::Step::FirstRpc, TdsReplyPacket(std::string("\xD1\xFD\0\0\0\0\0\0\0\0", 10), true), ""}},
    {"rows without end",
     {ScriptedRelay::Step::FirstRpc, TdsReplyPacket(kTwoIntegers, false), TdsReplyPacket(Rows(400), false)}},
};

void PrintTo(const Misbehaviour &misbehaviour, std::ostream *out) { *out << misbehaviour.name; }

class Bounds : public testing::TestWithParam<Misbehaviour> {};

TEST_P(Bounds, CallEndsWithinTheTimeOutAndTheHandleRecovers)
{
    AgentProcess agent;
    ScriptedRelay relay(agent, GetParam().script);
    Handle handle(PaConnectCreate(relay.name().c_str(), "e2e-test", AgentProcess::kUser, AgentProcess::kPassword));
    ASSERT_EQ(PaSetResultsTimeOut(handle.get(), kTimeOut), PaSUCCESS);

    Clock::time_point start = Clock::now();
    int32_t major = 0, minor = 0;
    int32_t result = PaConnect(handle.get());
    if (result == PaSUCCESS) {
        result = PaServerGetVersionNo(handle.get(), &major, &minor);
    }
    EXPECT_LT(Clock::now() - start, kBound);
    EXPECT_NE(result, PaSUCCESS);
    EXPECT_NE(PaServerGetLastError(handle.get()), PaNO_ERROR);

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
        Clock::time_point start = Clock::now();
        EXPECT_NE(PaServerGetVersionNo(handle.get(), &major, &minor), PaSUCCESS);
        EXPECT_LT(Clock::now() - start, kBound);
    }
    Clock::time_point start = Clock::now();
    EXPECT_NE(PaConnect(handle.get()), PaSUCCESS);
    EXPECT_LT(Clock::now() - start, kBound);

    agent.Signal(SIGCONT);
    EXPECT_EQ(PaServerGetVersionNo(handle.get(), &major, &minor), PaSUCCESS);
}

}  // namespace
