// The operation of one public call.
#include "operation.h"
#include "connection.h"

#include <algorithm>
#include <atomic>

namespace pa {

namespace {

// FreeTDS turns a time-out into milliseconds in an int.
constexpr int64_t kLongestClientLibraryWait = INT32_MAX / 1000;

}  // namespace

Operation::Operation(PaConnection *handle, int64_t budget_seconds) : handle_(handle), outer_(handle->operation)
{
    if (outer_ != nullptr) {
        return;
    }
    budget_seconds_ =
        std::clamp(std::max<int64_t>(budget_seconds, handle->results_time_out), int64_t{1}, kLongestBudgetSeconds);
    deadline_         = Clock::now() + std::chrono::seconds(budget_seconds_);
    handle->operation = this;
}

Operation::~Operation()
{
    if (outer_ == nullptr) {
        handle_->operation = nullptr;
    }
}

Operation *Operation::Current(const PaConnection *handle) { return handle->operation; }

bool Operation::Expired() const { return Clock::now() >= Root().deadline_ || Abandoned(); }

bool Operation::Abandoned() const { return std::atomic_ref(handle_->abandoned).load(std::memory_order_acquire) != 0; }

int32_t Operation::SecondsLeft() const
{
    auto left = std::chrono::ceil<std::chrono::seconds>(Deadline() - Clock::now()).count();
    return static_cast<int32_t>(std::clamp<int64_t>(left, 1, kLongestClientLibraryWait));
}

}  // namespace pa
