// One public call's operation: the deadline that its connect, login, reconnects, sends and reads
// all draw on, and the state they share while it runs.
#ifndef AGENTCLIENT_OPERATION_H
#define AGENTCLIENT_OPERATION_H

#include <agentclient/pa.h>

#include <chrono>
#include <cstdint>

namespace pa {

// The longest wait FreeTDS makes in one piece once logged in: at the end of each piece it asks
// the client-message handler whether to go on, which decides by the operation's deadline. Never
// 0, which FreeTDS reads as no limit.
constexpr int32_t kWaitSliceSeconds = 1;
// The longest budget a call takes, in seconds (about 68 years): longer ones are cut to it, so
// that no sum of seconds overflows.
constexpr int64_t kLongestBudgetSeconds = INT32_MAX;

// Opened by every public call that talks to an agent, on the handle it uses. A call made inside
// another on the same handle (the reconnect of a read, the send after a reconnect) joins the
// operation already open and draws on its deadline, so that a whole call ends within one bound.
// The handle points at the open operation while it lives; the operation lives on the stack of
// the call that opened it.
class Operation {
public:
    using Clock = std::chrono::steady_clock;

    // Opens an operation whose replies may take budget_seconds (at least the handle's time-out),
    // or joins the one open on the handle, lengthening nothing.
    explicit Operation(PaConnection *handle, int64_t budget_seconds = 0);
    ~Operation();
    Operation(const Operation &)            = delete;
    Operation &operator=(const Operation &) = delete;

    // The operation open on handle, or null between calls.
    static Operation *Current(const PaConnection *handle);

    // Whether the budget is spent, or the call abandoned: the call gives up at its next chance.
    bool Expired() const;
    // Whether another thread gave up the handle's calls (PaConnectAbandon).
    bool Abandoned() const;
    // The moment the budget is spent.
    Clock::time_point Deadline() const { return Root().deadline_; }
    // The budget in seconds, for messages.
    int64_t BudgetSeconds() const { return Root().budget_seconds_; }
    // Whole seconds left, rounded up, at least 1 and at most what a Client-Library time-out holds.
    int32_t SecondsLeft() const;

    // Whether FreeTDS is logging in under this operation.
    bool LoggingIn() const { return Root().logging_in_; }
    void SetLoggingIn(bool logging_in) { Root().logging_in_ = logging_in; }
    // Whether the operation gave up at its deadline.
    bool TimedOut() const { return Root().timed_out_; }
    void SetTimedOut() { Root().timed_out_ = true; }
    // Whether a client message was recorded since the current step began.
    bool ClientMessageInStep() const { return Root().client_message_in_step_; }
    void SetClientMessageInStep(bool recorded) { Root().client_message_in_step_ = recorded; }

private:
    Operation &Root() { return outer_ != nullptr ? *outer_ : *this; }
    const Operation &Root() const { return outer_ != nullptr ? *outer_ : *this; }

    PaConnection *handle_;
    Operation *outer_;  // the operation joined, or null for the one that opened
    Clock::time_point deadline_{};
    int64_t budget_seconds_      = 0;
    bool logging_in_             = false;
    bool timed_out_              = false;
    bool client_message_in_step_ = false;
};

}  // namespace pa

#endif
