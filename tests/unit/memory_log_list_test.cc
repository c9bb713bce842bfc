// The memory hooks, the message log and the generic list: routing through the hooks,
// exhaustion at the log thresholds, the log's bounds and streams, list order and unlinking.
#include <agentclient/pa.h>

#include "support/log_capture.h"
#include "support/tracking_hooks.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

namespace {

void *NoMemory(size_t) { return nullptr; }

TEST(Memory, WrappersGoThroughTheInstalledHooksAndExhaustionIsFatalUpToTheFatalThreshold)
{
    {
        TrackingHooks hooks;
        char *copy = PaStrDup("abc");
        PaFree(PaMalloc(16));
        PaFree(PaRealloc(PaMalloc(16), 64));
        PaFree(copy);
        EXPECT_EQ(hooks.foreign_frees, 0u);
        EXPECT_EQ(hooks.LiveBlocks(), 0u);

        LogCapture log(PaMSG_FATAL_ERROR + 1);
        hooks.fail = true;
        EXPECT_EQ(PaMalloc(64), nullptr);
        EXPECT_EQ(PaStrDup("abc"), nullptr);
        EXPECT_THAT(log.Texts(), IsEmpty());
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            PaMemorySetAlloc(NoMemory);
            PaMalloc(64);
        },
        testing::ExitedWithCode(1), HasSubstr(": Fatal Error: Failed to allocate memory.\n"));
}

TEST(MessageLog, ThresholdBoundsAndFatalErrors)
{
    {
        LogCapture log(PaMSG_WARNING);
        PaMsgLog(PaMSG_WARNING, "value %d of %s", 3, "five");
        PaMsgLog(PaMSG_INFORMATION, "dropped");
        PaMsgLog(PaMSG_ERROR, nullptr);
        std::string refused = std::string(1024, 'b') + std::string(7168, 'c');
        EXPECT_EQ(PaMsgLog(PaMSG_FATAL_ERROR, refused.c_str(), 0), 0);  // refusal never ends the process
        EXPECT_THAT(log.Texts(), ElementsAre("value 3 of five", HasSubstr("[" + std::string(1024, 'b') + "...]")));
    }
    struct Seen {
        size_t length = 0;
    } seen;
    auto record = [](int32_t, const char *text, const char *, void *data) {
        static_cast<Seen *>(data)->length = std::strlen(text);
    };
    // The user buffer is followed by a guard area that must stay untouched.
    std::string buffer(PaMSG_BUFFER_SIZE + 64, '#');
    ASSERT_EQ(PaSetUserLoggerFunc(record, buffer.data(), &seen), PaSUCCESS);
    std::string huge(3 * PaMSG_BUFFER_SIZE, 'a');
    PaMsgLog(PaMSG_ERROR, "%s", huge.c_str());
    EXPECT_EQ(seen.length, static_cast<size_t>(PaMSG_BUFFER_SIZE - 1));
    errno = ENOENT;
    PaMsgLogSysError(PaMSG_ERROR, "%s", huge.c_str());
    EXPECT_EQ(buffer.substr(PaMSG_BUFFER_SIZE), std::string(64, '#'));
    PaShutdownMsgLogSystem();

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(PaMsgLog(PaMSG_FATAL_ERROR, "cannot go on: %s", "reason"), testing::ExitedWithCode(1),
                testing::ContainsRegex(": Fatal Error: cannot go on: reason\n"));
}

struct Item {
    int id;
};

std::vector<int> cleaned;

// The ids forward and backward, and the count, as "0 1 2|2 1 0|3".
std::string Walk(const PaList *list)
{
    std::string forward, backward;
    for (auto *item = static_cast<Item *>(PaListGetHead(list)); item != nullptr;
         item       = static_cast<Item *>(PaListGetNext(item))) {
        forward += std::to_string(item->id) + " ";
    }
    for (auto *item = static_cast<Item *>(PaListGetTail(list)); item != nullptr;
         item       = static_cast<Item *>(PaListGetPrev(item))) {
        backward += std::to_string(item->id) + " ";
    }
    return forward + "|" + backward + "|" + std::to_string(PaListNumberOfElements(list));
}

Item *NewItem(int id)
{
    auto *item = static_cast<Item *>(PaListAllocElement(sizeof(Item), nullptr));
    item->id   = id;
    return item;
}

TEST(List, AddsUnlinksAndMovesKeepBothDirectionsAndTheCount)
{
    TrackingHooks hooks;
    PaList *list  = PaListCreate();
    PaList *other = PaListCreate();
    EXPECT_EQ(Walk(list), "||0");
    PaListAddToTail(list, NewItem(1));
    PaListAddToTail(list, NewItem(2));
    PaListAddToHead(list, NewItem(0));
    for (int id = 3; id < 6; ++id) {
        PaListAddToTail(list, NewItem(id));
    }
    EXPECT_EQ(Walk(list), "0 1 2 3 4 5 |5 4 3 2 1 0 |6");
    auto record = [](void *payload) { cleaned.push_back(static_cast<Item *>(payload)->id); };
    PaListDeleteElement(list, PaListGetHead(list), record);
    PaListDeleteElement(list, PaListGetTail(list), record);
    auto *moved = static_cast<Item *>(PaListGetNext(PaListGetHead(list)));
    PaListRemoveElement(list, moved);
    EXPECT_EQ(Walk(list), "1 3 4 |4 3 1 |3");
    PaListAddToHead(other, NewItem(9));
    PaListAddToTail(other, moved);
    EXPECT_EQ(Walk(other), "9 2 |2 9 |2");
    PaListDestroy(list, record);
    PaListDestroy(other, nullptr);
    EXPECT_THAT(cleaned, ElementsAre(0, 5, 1, 3, 4));
    EXPECT_EQ(hooks.LiveBlocks(), 0u);
    EXPECT_EQ(hooks.foreign_frees, 0u);
}

}  // namespace
