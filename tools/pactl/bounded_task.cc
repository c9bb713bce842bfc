#include "bounded_task.h"

#include <atomic>

namespace pactl {

namespace {

std::atomic<bool> threadsLeftBehind{false};

}  // namespace

void LeaveThreadBehind() { threadsLeftBehind = true; }

bool ThreadsLeftBehind() { return threadsLeftBehind; }

}  // namespace pactl
