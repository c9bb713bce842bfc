// Memory wrappers and hooks: routing, misuse, and exhaustion at the log thresholds.
#include <agentclient/pa.h>

#include "support/log_capture.h"
#include "support/tracking_hooks.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

using testing::AllOf;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;

namespace {

void *NoMemory(size_t) { return nullptr; }
void *NoResize(void *, size_t) { return nullptr; }
char *NoCopy(const char *) { return nullptr; }

class MemoryTest : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    void TearDown() override
    {
        PaMemorySetAlloc(std::malloc);
        PaMemorySetFree(std::free);
        PaMemorySetRealloc(std::realloc);
        PaMemorySetStrDup(strdup);
        PaShutdownMsgLogSystem();
    }
};

TEST_F(MemoryTest, DefaultHooksAreTheRuntimeFunctions)
{
    EXPECT_EQ(PaMemoryGetAlloc(), static_cast<PaAllocFunc>(std::malloc));
    EXPECT_EQ(PaMemoryGetFree(), static_cast<PaFreeFunc>(std::free));
    EXPECT_EQ(PaMemoryGetRealloc(), static_cast<PaReallocFunc>(std::realloc));
    EXPECT_EQ(PaMemoryGetStrDup(), static_cast<PaStrDupFunc>(strdup));
}

TEST_F(MemoryTest, WrappersGoThroughInstalledHooks)
{
    TrackingHooks hooks;
    void *block = PaMalloc(16);
    block       = PaRealloc(block, 64);
    char *copy  = PaStrDup("abc");
    EXPECT_STREQ(copy, "abc");
    PaFree(copy);
    PaFree(block);
    EXPECT_EQ(hooks.allocs, 1u);
    EXPECT_EQ(hooks.reallocs, 1u);
    EXPECT_EQ(hooks.strdups, 1u);
    EXPECT_EQ(hooks.frees, 2u);
    EXPECT_EQ(hooks.foreignFrees, 0u);
    EXPECT_EQ(hooks.liveBlocks(), 0u);
}

TEST_F(MemoryTest, SettersStoreTheHookUnchanged)
{
    PaMemorySetAlloc(NoMemory);
    PaMemorySetRealloc(NoResize);
    PaMemorySetStrDup(NoCopy);
    EXPECT_EQ(PaMemoryGetAlloc(), NoMemory);
    EXPECT_EQ(PaMemoryGetRealloc(), NoResize);
    EXPECT_EQ(PaMemoryGetStrDup(), NoCopy);
}

TEST_F(MemoryTest, NullHookIsReportedButWrappersKeepWorking)
{
    PaMemorySetAlloc(nullptr);
    PaMemorySetStrDup(nullptr);
    EXPECT_EQ(PaMemoryGetAlloc(), nullptr);
    EXPECT_EQ(PaMemoryGetStrDup(), nullptr);
    void *block = PaMalloc(8);
    ASSERT_NE(block, nullptr);
    char *copy = PaStrDup("x");
    ASSERT_STREQ(copy, "x");
    PaFree(copy);
    PaFree(block);
}

TEST_F(MemoryTest, MisuseIsLoggedOnceAndChangesNothing)
{
    TrackingHooks hooks;
    LogCapture log(PaMSG_DEBUG);
    PaFree(nullptr);
    EXPECT_EQ(PaRealloc(nullptr, 100), nullptr);
    EXPECT_EQ(PaStrDup(nullptr), nullptr);
    EXPECT_THAT(log.texts(PaMSG_ERROR),
                ElementsAre("Attempt to free NULL pointer.", "Attempt to realloc a NULL pointer."));
    EXPECT_EQ(log.messages().size(), 2u);
    EXPECT_EQ(hooks.frees + hooks.allocs + hooks.reallocs + hooks.strdups, 0u);
}

TEST_F(MemoryTest, ExhaustionAtDefaultThresholdEndsTheProcessWithoutSizeLine)
{
    EXPECT_EXIT(
        {
            PaMemorySetAlloc(NoMemory);
            PaMalloc(64);
        },
        testing::ExitedWithCode(1),
        AllOf(HasSubstr(": Fatal Error: Failed to allocate memory.\n"), Not(HasSubstr("Requested size"))));
}

TEST_F(MemoryTest, ExhaustionAtDebugThresholdShowsTheSizeFirst)
{
    EXPECT_EXIT(
        {
            PaSetMsgLogLevel(PaMSG_DEBUG);
            PaMemorySetAlloc(NoMemory);
            PaMalloc(64);
        },
        testing::ExitedWithCode(1),
        testing::ContainsRegex("Debug: \\(Requested size was 64 bytes\\)\n"
                               ".*Fatal Error: Failed to allocate memory.\n"));
}

TEST_F(MemoryTest, FailedResizeAndCopyAreFatal)
{
    EXPECT_EXIT(
        {
            PaSetMsgLogLevel(PaMSG_DEBUG);
            void *block = PaMalloc(8);
            PaMemorySetRealloc(NoResize);
            PaRealloc(block, 32);
        },
        testing::ExitedWithCode(1),
        testing::ContainsRegex("Debug: Address 0x[0-9a-f]+ \\(New Requested size was 32 bytes\\)\n"
                               ".*Fatal Error: Failed to realloc memory.\n"));
    EXPECT_EXIT(
        {
            PaMemorySetStrDup(NoCopy);
            PaStrDup("abc");
        },
        testing::ExitedWithCode(1), HasSubstr("Fatal Error: Insufficient Memory to duplicate - abc.\n"));
}

TEST_F(MemoryTest, ExhaustionAboveFatalThresholdReturnsNullSilently)
{
    LogCapture log(PaMSG_FATAL_ERROR + 1);
    TrackingHooks hooks;
    hooks.fail = true;
    EXPECT_EQ(PaMalloc(64), nullptr);
    EXPECT_EQ(PaStrDup("abc"), nullptr);
    hooks.fail  = false;
    void *block = PaMalloc(8);
    hooks.fail  = true;
    EXPECT_EQ(PaRealloc(block, 32), nullptr);
    hooks.fail = false;
    PaFree(block);
    EXPECT_THAT(log.messages(), IsEmpty());
    EXPECT_EQ(hooks.liveBlocks(), 0u);
}

}  // namespace
