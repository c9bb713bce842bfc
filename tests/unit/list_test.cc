// The generic list: order, unlinking, moving between lists, clean-up calls, element sizes.
#include <agentclient/pa.h>

#include "support/log_capture.h"
#include "support/tracking_hooks.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using testing::ElementsAre;
using testing::IsEmpty;

namespace {

struct Item {
    int id;
    double payloadAlignment;
};

Item *NewItem(int id)
{
    auto *item = static_cast<Item *>(PaListAllocElement(sizeof(Item), nullptr));
    item->id   = id;
    return item;
}

std::vector<int> Forward(const PaList *list)
{
    std::vector<int> ids;
    for (auto *item = static_cast<Item *>(PaListGetHead(list)); item != nullptr;
         item       = static_cast<Item *>(PaListGetNext(item))) {
        ids.push_back(item->id);
    }
    return ids;
}

std::vector<int> Backward(const PaList *list)
{
    std::vector<int> ids;
    for (auto *item = static_cast<Item *>(PaListGetTail(list)); item != nullptr;
         item       = static_cast<Item *>(PaListGetPrev(item))) {
        ids.push_back(item->id);
    }
    return ids;
}

std::vector<int> cleaned;
void RecordCleanUp(void *payload) { cleaned.push_back(static_cast<Item *>(payload)->id); }

class ListTest : public testing::Test {
protected:
    void SetUp() override { cleaned.clear(); }
    TrackingHooks hooks;
    LogCapture log;
    void TearDown() override
    {
        EXPECT_EQ(hooks.liveBlocks(), 0u);
        EXPECT_EQ(hooks.foreignFrees, 0u);
        EXPECT_THAT(log.messages(), IsEmpty());
    }
};

TEST_F(ListTest, NewListIsEmpty)
{
    PaList *list = PaListCreate();
    EXPECT_EQ(PaListNumberOfElements(list), 0);
    EXPECT_EQ(PaListGetHead(list), nullptr);
    EXPECT_EQ(PaListGetTail(list), nullptr);
    PaListDestroy(list, nullptr);
}

TEST_F(ListTest, MixedHeadAndTailAddsKeepOrderBothWays)
{
    PaList *list = PaListCreate();
    Item *p      = NewItem(1);
    PaListAddToTail(list, p);
    EXPECT_EQ(PaListGetHead(list), p);
    EXPECT_EQ(PaListGetTail(list), p);
    EXPECT_EQ(PaListGetNext(p), nullptr);
    EXPECT_EQ(PaListGetPrev(p), nullptr);

    PaListAddToTail(list, NewItem(2));
    PaListAddToHead(list, NewItem(0));
    EXPECT_EQ(PaListNumberOfElements(list), 3);
    EXPECT_THAT(Forward(list), ElementsAre(0, 1, 2));
    EXPECT_THAT(Backward(list), ElementsAre(2, 1, 0));
    PaListDestroy(list, nullptr);
}

TEST_F(ListTest, DeletesAtHeadTailAndMiddle)
{
    PaList *list = PaListCreate();
    for (int id = 0; id < 5; ++id) {
        PaListAddToTail(list, NewItem(id));
    }
    PaListDeleteElement(list, PaListGetHead(list), RecordCleanUp);
    PaListDeleteElement(list, PaListGetTail(list), RecordCleanUp);
    PaListDeleteElement(list, PaListGetNext(PaListGetHead(list)), RecordCleanUp);
    EXPECT_THAT(cleaned, ElementsAre(0, 4, 2));
    EXPECT_THAT(Forward(list), ElementsAre(1, 3));
    EXPECT_THAT(Backward(list), ElementsAre(3, 1));
    EXPECT_EQ(PaListGetPrev(PaListGetHead(list)), nullptr);
    EXPECT_EQ(PaListGetNext(PaListGetTail(list)), nullptr);

    PaListDeleteElement(list, PaListGetTail(list), nullptr);
    EXPECT_EQ(PaListGetHead(list), PaListGetTail(list));
    PaListDeleteElement(list, PaListGetHead(list), nullptr);
    EXPECT_EQ(PaListNumberOfElements(list), 0);
    EXPECT_EQ(PaListGetHead(list), nullptr);
    EXPECT_EQ(PaListGetTail(list), nullptr);

    PaListDeleteElement(list, nullptr, RecordCleanUp);
    EXPECT_THAT(cleaned, ElementsAre(0, 4, 2));
    PaListDestroy(list, nullptr);
}

TEST_F(ListTest, RemovedElementKeepsItsPayloadAndMovesToAnotherList)
{
    PaList *from = PaListCreate();
    PaList *to   = PaListCreate();
    PaListAddToTail(from, NewItem(1));
    Item *moved = NewItem(2);
    PaListAddToTail(from, moved);
    PaListAddToTail(from, NewItem(3));

    PaListRemoveElement(from, moved);
    EXPECT_EQ(moved->id, 2);
    EXPECT_EQ(PaListGetNext(moved), nullptr);
    EXPECT_EQ(PaListGetPrev(moved), nullptr);
    EXPECT_THAT(Forward(from), ElementsAre(1, 3));
    EXPECT_EQ(PaListNumberOfElements(from), 2);

    PaListAddToHead(to, NewItem(9));
    PaListAddToTail(to, moved);
    EXPECT_THAT(Forward(to), ElementsAre(9, 2));
    EXPECT_THAT(Backward(to), ElementsAre(2, 9));
    PaListDestroy(from, nullptr);
    PaListDestroy(to, nullptr);
}

TEST_F(ListTest, DestroyCleansEachElementOnceFromHeadToTail)
{
    PaList *list = PaListCreate();
    for (int id = 1; id <= 4; ++id) {
        PaListAddToTail(list, NewItem(id));
    }
    size_t freesBefore = hooks.frees;
    PaListDestroy(list, RecordCleanUp);
    EXPECT_THAT(cleaned, ElementsAre(1, 2, 3, 4));
    EXPECT_EQ(hooks.frees - freesBefore, 5u);  // four elements and the list
}

TEST_F(ListTest, ElementSizesAndInitialiser)
{
    static int initialised = 0;
    auto init              = [](void *payload) {
        ++initialised;
        static_cast<Item *>(payload)->id = -1;
    };
    EXPECT_EQ(PaListAllocElement(0, init), nullptr);
    EXPECT_EQ(initialised, 0);
    EXPECT_EQ(hooks.allocs, 0u);

    auto *bytes = static_cast<unsigned char *>(PaListAllocElement(300, nullptr));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 300), std::vector<unsigned char>(300, 0));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(bytes) % alignof(std::max_align_t), 0u);

    auto *item = static_cast<Item *>(PaListAllocElement(sizeof(Item), init));
    EXPECT_EQ(initialised, 1);
    EXPECT_EQ(item->id, -1);
    EXPECT_EQ(item->payloadAlignment, 0.0);

    PaList *list = PaListCreate();
    PaListAddToTail(list, bytes);
    PaListAddToTail(list, item);
    PaListDestroy(list, nullptr);
}

TEST_F(ListTest, ExhaustionAboveFatalThresholdYieldsNothing)
{
    PaSetMsgLogLevel(PaMSG_FATAL_ERROR + 1);
    hooks.fail = true;
    EXPECT_EQ(PaListCreate(), nullptr);
    EXPECT_EQ(PaListAllocElement(16, RecordCleanUp), nullptr);
    EXPECT_EQ(PaListAllocElement(SIZE_MAX - 4, nullptr), nullptr);
    hooks.fail = false;
    EXPECT_EQ(PaListAllocElement(SIZE_MAX - 4, nullptr), nullptr);
    EXPECT_THAT(cleaned, IsEmpty());
}

TEST_F(ListTest, AbsentListsAndPayloadsAreHarmless)
{
    PaListAddToTail(nullptr, nullptr);
    PaListRemoveElement(nullptr, nullptr);
    PaListDestroy(nullptr, RecordCleanUp);
    EXPECT_EQ(PaListGetHead(nullptr), nullptr);
    EXPECT_EQ(PaListGetNext(nullptr), nullptr);
    EXPECT_EQ(PaListNumberOfElements(nullptr), 0);
    EXPECT_THAT(cleaned, IsEmpty());
}

}  // namespace
