// What the cursor-based long polls (output and events) share: the wait's bound, the cursor as
// it travels, and the call's budget.
#ifndef AGENTCLIENT_LONG_POLL_H
#define AGENTCLIENT_LONG_POLL_H

#include "rpc.h"

#include <cstdint>

namespace pa {

// Whether a call may wait wait_seconds on the handle: not negative and within the handle's
// results time-out. Logs the refusal.
bool WaitFits(const PaConnection *handle, int32_t wait_seconds);

// A 64-bit number as it travels: decimal text. Room for INT64_MIN and the terminating zero.
struct DecimalText {
    explicit DecimalText(int64_t value);
    char text[21];
};

// Reads a 64-bit number a row carries as decimal text; false (logged) for anything else.
bool ParseDecimal(const char *text, int64_t *value);

// The budget of a call that asks the agent to wait wait_seconds: that and the reply margin.
inline int64_t WaitBudget(int32_t wait_seconds) { return int64_t{wait_seconds} + protocol::kReplyMarginSeconds; }

}  // namespace pa

#endif
