// What the processes of groups use, as /proc tells it.
#ifndef PAAGENT_CORE_GROUP_USAGE_H
#define PAAGENT_CORE_GROUP_USAGE_H

#include <cstdint>
#include <map>
#include <set>
#include <sys/types.h>

namespace paagent {

// The sums over a group's processes, and its leader's start.
struct GroupUsage {
    // CPU time of its processes and of the children they waited for, in clock ticks.
    std::uint64_t user_ticks     = 0;
    std::uint64_t system_ticks   = 0;
    std::uint64_t resident_pages = 0;
    std::int32_t threads         = 0;
    std::int32_t descriptors     = 0;  // those the agent may list
    std::uint64_t leader_start   = 0;  // clock ticks after boot; 0 when its leader has gone
};

// The usage of each of the groups that has a process, from one pass over /proc: each process's
// stat file, and the statm file and descriptor directory of those in the groups. Costs about one read per
// process of the host, whatever the number of groups.
std::map<pid_t, GroupUsage> UsageOfGroups(const std::set<pid_t> &groups);

}  // namespace paagent

#endif  // PAAGENT_CORE_GROUP_USAGE_H
