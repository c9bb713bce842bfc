#include "tds/connection_pools.h"

#include <sys/socket.h>

#include <algorithm>
#include <utility>

namespace paagent::tds {

PoolMembership::PoolMembership(PoolMembership &&other) noexcept
    : pools_(std::exchange(other.pools_, nullptr)), id_(other.id_)
{
}

PoolMembership::~PoolMembership()
{
    if (pools_ != nullptr) {
        pools_->Remove(id_);
    }
}

bool PoolMembership::MoveTo(Pool pool, const std::string &user, std::optional<Displaced> &displaced)
{
    return pools_->MoveTo(id_, pool, user, displaced);
}

void PoolMembership::LoginArrived() { pools_->LoginArrived(id_); }

ConnectionPools::ConnectionPools(const ServerConfig &config)
    : limits_{config.max_logging_in, config.max_sessions, config.max_single_rpc}
{
}

PoolMembership ConnectionPools::Admit(int socket, std::uint32_t spid, std::string peer,
                                      std::optional<Displaced> &displaced)
{
    std::lock_guard lock(mutex_);
    Members &logging_in = pools_[Index(Pool::kLoggingIn)];
    displaced           = MakeRoom(logging_in, Limit(Pool::kLoggingIn));
    std::uint64_t id    = next_id_++;
    logging_in.push_back(Member{id, socket, spid, std::move(peer), {}});
    return PoolMembership(*this, id);
}

bool ConnectionPools::MoveTo(std::uint64_t id, Pool pool, const std::string &user, std::optional<Displaced> &displaced)
{
    std::lock_guard lock(mutex_);
    Pool from  = Pool::kLoggingIn;
    auto found = Find(id, from);
    if (!found) {
        return false;
    }
    Members &to = pools_[Index(pool)];
    if (pool == Pool::kSessions && to.size() >= Limit(pool)) {
        return false;
    }
    if (pool != Pool::kSessions) {
        displaced = MakeRoom(to, Limit(pool));
    }
    (*found)->user = user;
    to.splice(to.end(), pools_[Index(from)], *found);
    return true;
}

std::vector<std::string> ConnectionPools::EndSessions(const std::function<bool(const std::string &user)> &ends)
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> users;
    std::erase_if(pools_[Index(Pool::kSessions)], [&](Member &member) {
        if (!ends(member.user)) {
            return false;
        }
        ::shutdown(member.socket, SHUT_RDWR);
        users.push_back(std::move(member.user));
        return true;
    });
    return users;
}

void ConnectionPools::Remove(std::uint64_t id)
{
    std::lock_guard lock(mutex_);
    Pool pool = Pool::kLoggingIn;
    if (auto found = Find(id, pool)) {
        pools_[Index(pool)].erase(*found);
    }
}

void ConnectionPools::LoginArrived(std::uint64_t id)
{
    std::lock_guard lock(mutex_);
    Pool pool = Pool::kLoggingIn;
    if (auto found = Find(id, pool)) {
        (*found)->login_arrived = true;
    }
}

// The displaced member leaves its pool at once, so that the pools never touch its socket again,
// whose session closes it later.
std::optional<Displaced> ConnectionPools::MakeRoom(Members &members, std::size_t pool_limit)
{
    std::optional<Displaced> displaced;
    while (!members.empty() && members.size() >= pool_limit) {
        auto chosen = std::find_if(members.begin(), members.end(), [](const Member &m) { return !m.login_arrived; });
        if (chosen == members.end()) {
            chosen = members.begin();
        }
        ::shutdown(chosen->socket, SHUT_RDWR);
        displaced = Displaced{chosen->spid, std::move(chosen->peer)};
        members.erase(chosen);
    }
    return displaced;
}

std::optional<ConnectionPools::Members::iterator> ConnectionPools::Find(std::uint64_t id, Pool &pool)
{
    for (Pool candidate : {Pool::kLoggingIn, Pool::kSessions, Pool::kSingleRpc}) {
        Members &members = pools_[Index(candidate)];
        for (auto it = members.begin(); it != members.end(); ++it) {
            if (it->id == id) {
                pool = candidate;
                return it;
            }
        }
    }
    return std::nullopt;
}

}  // namespace paagent::tds
