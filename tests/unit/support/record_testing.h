// Support for record tests: a fixture that fails a test leaving blocks behind, records as text,
// and exhaustion on demand (ExpectCleanFailures runs an attempt while only the first n allocations succeed,
// for n = 0, 1, 2, ... until the attempt needs no more).
#ifndef AGENTCLIENT_TESTS_RECORDTESTING_H
#define AGENTCLIENT_TESTS_RECORDTESTING_H

#include "service.h"
#include "support/log_capture.h"
#include "support/tracking_hooks.h"

#include <agentclient/pa.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

// Tracks every block and captures every message of a test; no block may outlive it.
class LeakCheckedTest : public testing::Test {
protected:
    TrackingHooks hooks_;
    LogCapture log_;
    void TearDown() override
    {
        EXPECT_EQ(hooks_.LiveBlocks(), 0u);
        EXPECT_EQ(hooks_.foreign_frees, 0u);
    }
};

// A text attribute of a process, "<none>" when it has none.
inline std::string Text(const PaProcess *process, int32_t id)
{
    char *text = nullptr;
    EXPECT_EQ(PaProcessGetAttribute(process, id, &text, 0), PaSUCCESS);
    std::string value = text != nullptr ? text : "<none>";
    PaFree(text);
    return value;
}

// "name=value ..." for each member, then the type and start mode.
inline std::string Describe(const PaService *service)
{
    std::string described;
    for (auto *m = static_cast<const PaServProcess *>(PaListGetHead(service->members)); m != nullptr;
         m       = static_cast<const PaServProcess *>(PaListGetNext(m))) {
        described += Text(m->process, PaPROCESS_NAME) + "=" +
                     (m->kind == PaVALUE_INTEGER ? std::to_string(m->value.intValue)
                      : m->kind == PaVALUE_TEXT  ? std::string(m->value.textValue)
                                                 : "NONE") +
                     " ";
    }
    return described + std::to_string(service->type) + std::to_string(service->start);
}

namespace budget {
inline std::size_t left     = 0;
inline bool refused         = false;
inline PaAllocFunc alloc    = nullptr;
inline PaStrDupFunc str_dup = nullptr;
inline bool Take()
{
    refused = refused || left == 0;
    return left > 0 && left-- > 0;
}
inline void *Alloc(std::size_t size) { return Take() ? alloc(size) : nullptr; }
inline char *StrDup(const char *text) { return Take() ? str_dup(text) : nullptr; }
}  // namespace budget

// attempt returns whether it succeeded and releases what it made. A run in which an allocation
// was refused must fail, and no run may leave a block behind. Returns the allocations needed.
template <class Attempt>
std::size_t ExpectCleanFailures(Attempt attempt)
{
    int32_t threshold = PaGetMsgLogLevel();
    PaSetMsgLogLevel(PaMSG_FATAL_ERROR + 1);  // exhaustion is then not fatal
    std::size_t allowed = 0;
    for (;; ++allowed) {
        TrackingHooks hooks;
        budget::alloc   = PaMemoryGetAlloc();
        budget::str_dup = PaMemoryGetStrDup();
        budget::left    = allowed;
        budget::refused = false;
        PaMemorySetAlloc(budget::Alloc);
        PaMemorySetStrDup(budget::StrDup);
        bool succeeded = attempt();
        PaMemorySetAlloc(budget::alloc);
        PaMemorySetStrDup(budget::str_dup);
        EXPECT_EQ(succeeded, !budget::refused) << "with " << allowed << " allocations";
        EXPECT_EQ(hooks.LiveBlocks(), 0u) << "with " << allowed << " allocations";
        EXPECT_EQ(hooks.foreign_frees, 0u) << "with " << allowed << " allocations";
        if (!budget::refused || allowed == 1000) {
            break;
        }
    }
    PaSetMsgLogLevel(threshold);
    return allowed;
}

#endif
