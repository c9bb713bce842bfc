// Work waited for until a deadline at most: the library bounds each reply by the time-out but
// not the login, which an agent that accepts connections without serving them holds forever.
#ifndef PACTL_BOUNDED_TASK_H
#define PACTL_BOUNDED_TASK_H

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <thread>

namespace pactl {

// Records that a thread was left running past its deadline.
void LeaveThreadBehind();
// Whether one was: the program then ends without running its static destructors, which that
// thread may still use.
bool ThreadsLeftBehind();

// Runs work on a thread of its own from construction on.
template <class T>
class BoundedTask {
public:
    explicit BoundedTask(std::function<T()> work)
        : task_(std::make_shared<std::packaged_task<T()>>(std::move(work))), result_(task_->get_future()),
          thread_([task = task_] { (*task)(); })
    {
    }
    BoundedTask(BoundedTask &&)            = default;
    BoundedTask &operator=(BoundedTask &&) = delete;
    ~BoundedTask()
    {
        if (thread_.joinable()) {
            Abandon();
        }
    }

    // The work's result (or its exception, rethrown), or nullopt when the deadline comes first;
    // the thread is then left behind.
    std::optional<T> Get(std::chrono::steady_clock::time_point deadline)
    {
        if (result_.wait_until(deadline) == std::future_status::timeout) {
            Abandon();
            return std::nullopt;
        }
        thread_.join();
        return result_.get();
    }

private:
    void Abandon()
    {
        thread_.detach();
        LeaveThreadBehind();
    }

    std::shared_ptr<std::packaged_task<T()>> task_;  // shared with the thread, which may outlive this
    std::future<T> result_;
    std::thread thread_;
};

}  // namespace pactl

#endif  // PACTL_BOUNDED_TASK_H
