// What a login may do: its role, and the users its processes may run as. The checks read the
// access of the request the thread carries out (see request_user.h); a thread that carries out
// none does the agent's own work, and may do everything.
#ifndef PAAGENT_CORE_ACCESS_H
#define PAAGENT_CORE_ACCESS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <protocol/roles.h>

#include "core/records.h"

namespace paagent {

using pa::protocol::Role;

// The user ids first to last.
struct UidRange {
    std::int32_t first;
    std::int32_t last;
};

// Reads "1000,2000-2999,www-data": user ids, ranges of them and user names. Throws
// std::invalid_argument naming the part it cannot read.
std::vector<UidRange> ParseUids(std::string_view text);

class Access {
public:
    // Without uids the login's processes may run as any user.
    Access(std::string user, Role role, std::optional<std::vector<UidRange>> uids)
        : user_(std::move(user)), role_(role), uids_(std::move(uids))
    {
    }

    const std::string &User() const { return user_; }
    Role GetRole() const { return role_; }
    // Whether the login may start processes that run as uid.
    bool MayRunAs(std::int32_t uid) const;
    // Whether it may do less than an admin without uids.
    bool Limited() const { return role_ != Role::kAdmin || uids_.has_value(); }
    // "any", or the ids and ranges as "1000,2000-2999".
    std::string UidsText() const;
    // "admin, uids any" or "operate, uids 1000,2000-2999".
    std::string Describe() const;

private:
    std::string user_;
    Role role_;
    std::optional<std::vector<UidRange>> uids_;
};

// Each throws AgentError naming the request's user and what it may not do.
// Unless the role is at least role: "user alice (read) may not stop processes".
void RequireRole(Role role, std::string_view action);
// Unless the processes may run as uid.
void RequireRunAs(std::int32_t uid);
// Below admin, a start runs a process as it is defined, stored, and defines none.
void RequireAsDefined(const Process *stored, const Process &requested);
void RequireAsDefined(const std::optional<Service> &stored, const Service &requested);
// Unless the login is an admin without uids: only the agent of another host knows the
// definitions of its processes, so only such a login may start them there.
void RequireUnlimited(std::string_view action, const std::string &host);

}  // namespace paagent

#endif  // PAAGENT_CORE_ACCESS_H
