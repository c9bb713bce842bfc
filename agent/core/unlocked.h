// Releasing a lock for the length of a scope, such as a wait for another agent or the supervisor.
#ifndef PAAGENT_CORE_UNLOCKED_H
#define PAAGENT_CORE_UNLOCKED_H

#include <mutex>

namespace paagent {

// Releases a lock for the length of a scope and takes it again, also when the scope throws.
class Unlocked {
public:
    explicit Unlocked(std::unique_lock<std::mutex> &lock) : lock_(lock) { lock_.unlock(); }
    ~Unlocked() { lock_.lock(); }
    Unlocked(const Unlocked &)            = delete;
    Unlocked &operator=(const Unlocked &) = delete;

private:
    std::unique_lock<std::mutex> &lock_;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_UNLOCKED_H
