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
    if (pools_ != nullptr)
        pools_->remove(id_);
}

bool PoolMembership::move_to(Pool pool, std::optional<Displaced> &displaced)
{
    return pools_->move_to(id_, pool, displaced);
}

void PoolMembership::login_arrived() { pools_->login_arrived(id_); }

ConnectionPools::ConnectionPools(const ServerConfig &config)
    : limits_{config.max_logging_in, config.max_sessions, config.max_single_rpc}
{
}

PoolMembership ConnectionPools::admit(int socket, std::uint32_t spid, std::string peer,
                                      std::optional<Displaced> &displaced)
{
    std::lock_guard lock(mutex_);
    Members &logging_in = pools_[index(Pool::LoggingIn)];
    displaced           = make_room(logging_in, limit(Pool::LoggingIn));
    std::uint64_t id    = next_id_++;
    logging_in.push_back(Member{id, socket, spid, std::move(peer)});
    return PoolMembership(*this, id);
}

bool ConnectionPools::move_to(std::uint64_t id, Pool pool, std::optional<Displaced> &displaced)
{
    std::lock_guard lock(mutex_);
    Pool from  = Pool::LoggingIn;
    auto found = find(id, from);
    if (!found)
        return false;
    Members &to = pools_[index(pool)];
    if (pool == Pool::Sessions && to.size() >= limit(pool))
        return false;
    if (pool != Pool::Sessions)
        displaced = make_room(to, limit(pool));
    to.splice(to.end(), pools_[index(from)], *found);
    return true;
}

void ConnectionPools::remove(std::uint64_t id)
{
    std::lock_guard lock(mutex_);
    Pool pool = Pool::LoggingIn;
    if (auto found = find(id, pool))
        pools_[index(pool)].erase(*found);
}

void ConnectionPools::login_arrived(std::uint64_t id)
{
    std::lock_guard lock(mutex_);
    Pool pool = Pool::LoggingIn;
    if (auto found = find(id, pool))
        (*found)->login_arrived = true;
}

// The displaced member leaves its pool at once, so that the pools never touch its socket again,
// whose session closes it later.
std::optional<Displaced> ConnectionPools::make_room(Members &members, std::size_t pool_limit)
{
    std::optional<Displaced> displaced;
    while (!members.empty() && members.size() >= pool_limit) {
        auto chosen = std::find_if(members.begin(), members.end(), [](const Member &m) { return !m.login_arrived; });
        if (chosen == members.end())
            chosen = members.begin();
        ::shutdown(chosen->socket, SHUT_RDWR);
        displaced = Displaced{chosen->spid, std::move(chosen->peer)};
        members.erase(chosen);
    }
    return displaced;
}

std::optional<ConnectionPools::Members::iterator> ConnectionPools::find(std::uint64_t id, Pool &pool)
{
    for (Pool candidate : {Pool::LoggingIn, Pool::Sessions, Pool::SingleRpc}) {
        Members &members = pools_[index(candidate)];
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
