// Services with members of every value kind, through their whole life on a real agent.
#include "support/client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

// A member that writes its value (or "unset") and a bar to valueFile, then runs on.
Process MemberProcess(const std::string &name, const fs::path &value_file)
{
    return MakeProcess(name, "printf '%s|' \"${PA_MEMBER_VALUE-unset}\" > " + value_file.string() + "; exec sleep 30");
}

TEST(Services, DefinedStartedListedStoppedInReverseAndRemoved)
{
    // The steps of a stop a client asks for are logged from debug level 2 on.
    AgentProcess agent(std::nullopt, {"--debug", "2"});
    Handle handle        = OpenHandle(agent);
    PaConnection *h      = handle.get();
    const fs::path first = agent.Home() / "first", second = agent.Home() / "second";

    std::vector<Member> pair;
    pair.push_back({MemberProcess("first", first), PaVALUE_INTEGER, 42, {}});
    pair.push_back({MemberProcess("second", second), PaVALUE_TEXT, 0, "blue sky"});
    Service both = MakeService("both", PaSERVICE_NON_MASTER, PaSERVICE_NON_AUTO, std::move(pair));
    std::vector<Member> single;
    single.push_back({MakeProcess("lone", kSleeper), PaVALUE_NONE, 0, {}});
    Service lone = MakeService("lone", PaSERVICE_MASTER, PaSERVICE_NON_AUTO, std::move(single));
    ASSERT_NE(both, nullptr);
    ASSERT_NE(lone, nullptr);

    ASSERT_EQ(PaServiceAdd(h, both.get()), PaSUCCESS);
    ASSERT_EQ(PaServiceAdd(h, lone.get()), PaSUCCESS);
    EXPECT_EQ(PaServiceAdd(h, both.get()), PaFAILURE);  // already defined
    // Two rows for "both" (the second a continuation row), one for "lone".
    EXPECT_EQ(FetchServices(h, 1), Describe(both.get()) + Describe(lone.get()));
    EXPECT_EQ(FetchServices(h, 0), "");
    EXPECT_EQ(PaServiceStatus(h, both.get()), 0);

    ASSERT_EQ(PaServiceStart(h, both.get()), PaSUCCESS);
    auto ready = [](const fs::path &file) { return Eventually([&] { return ReadText(file).ends_with('|'); }); };
    ASSERT_TRUE(ready(first));
    ASSERT_TRUE(ready(second));
    EXPECT_EQ(ReadText(first), "42|");
    EXPECT_EQ(ReadText(second), "blue sky|");
    EXPECT_EQ(PaServiceStatus(h, both.get()), 1);
    EXPECT_EQ(PaServiceStatus(h, lone.get()), 0);
    EXPECT_EQ(FetchServices(h, 0), Describe(both.get()));
    EXPECT_EQ(PaServiceRemove(h, both.get()), PaFAILURE);  // running

    EXPECT_EQ(PaServiceStop(h, both.get()), PaSUCCESS);
    std::string events = agent.Errors();
    // Members are asked to stop in reverse order, then awaited together.
    size_t stopping_first  = events.find("stopping process first"),
           stopping_second = events.find("stopping process second");
    ASSERT_NE(stopping_first, std::string::npos);
    EXPECT_LT(stopping_second, stopping_first);
    EXPECT_NE(events.find("stopped process first"), std::string::npos);
    EXPECT_NE(events.find("stopped process second"), std::string::npos);
    EXPECT_EQ(PaServiceStatus(h, both.get()), 0);

    ASSERT_EQ(PaServiceStart(h, lone.get()), PaSUCCESS);
    EXPECT_EQ(PaServiceStatus(h, lone.get()), 1);
    EXPECT_EQ(PaServiceStop(h, lone.get()), PaSUCCESS);

    // A stopped service takes a new definition under a new name.
    Service solo(PaServiceCopy(lone.get()));
    ASSERT_EQ(PaServiceSetAttribute(solo.get(), PaSERVICE_NAME, "solo", PaSERVICE_START, PaSERVICE_AUTO, 0), PaSUCCESS);
    EXPECT_EQ(PaServiceChange(h, "lone", solo.get()), PaSUCCESS);
    EXPECT_EQ(FetchServices(h, 1), Describe(both.get()) + Describe(solo.get()));

    EXPECT_EQ(PaServiceRemove(h, both.get()), PaSUCCESS);
    EXPECT_EQ(FetchServices(h, 1), Describe(solo.get()));
    EXPECT_EQ(PaServiceRemove(h, solo.get()), PaSUCCESS);
    EXPECT_EQ(FetchServices(h, 1), "");
    EXPECT_EQ(PaServiceStatus(h, solo.get()), PaSERVICE_STATUS_FAILED);  // unknown now
}

}  // namespace
