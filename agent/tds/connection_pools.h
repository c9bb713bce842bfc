// The open connections, in pools with limits of their own: connections still logging in,
// sessions, and single-RPC sessions.
#ifndef PAAGENT_TDS_CONNECTION_POOLS_H
#define PAAGENT_TDS_CONNECTION_POOLS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tds/server_config.h"

namespace paagent::tds {

enum class Pool {
    kLoggingIn,
    kSessions,
    kSingleRpc
};

// A connection closed to make room for a newer one.
struct Displaced {
    std::uint32_t spid;
    std::string peer;
};

class ConnectionPools;

// A connection's place in the pools, given up when this is destroyed. It must be destroyed before
// the connection's socket is closed: a displacement shuts the socket down by its descriptor.
class PoolMembership {
public:
    PoolMembership(ConnectionPools &pools, std::uint64_t id) : pools_(&pools), id_(id) {}
    PoolMembership(PoolMembership &&other) noexcept;
    PoolMembership &operator=(PoolMembership &&) = delete;
    ~PoolMembership();

    // Moves the connection, logged in as `user`, from the logging-in pool to `pool`; see
    // ConnectionPools::MoveTo.
    bool MoveTo(Pool pool, const std::string &user, std::optional<Displaced> &displaced);
    // Records that the connection's whole login has arrived.
    void LoginArrived();

private:
    ConnectionPools *pools_;
    std::uint64_t id_;
};

// The pools that displace their oldest member when full (logging-in and single-RPC) shut its
// socket down, which ends its session's waits. The logging-in pool displaces the oldest of the
// connections whose login has not arrived whole, when there is one: a client sends its login at
// once, so those are the ones idling. Thread-safe.
class ConnectionPools {
public:
    explicit ConnectionPools(const ServerConfig &config);

    // Adds a connection to the logging-in pool; `displaced` names the member closed to make room.
    PoolMembership Admit(int socket, std::uint32_t spid, std::string peer, std::optional<Displaced> &displaced);
    // Moves a connection, logged in as `user`, to `pool`. The sessions' pool, when full, refuses
    // it (false); the single-RPC pool makes room.
    bool MoveTo(std::uint64_t id, Pool pool, const std::string &user, std::optional<Displaced> &displaced);
    // Shuts down the sockets of the sessions whose user `ends` picks, and takes them out of their
    // pool as a displacement does; their users, one per session.
    std::vector<std::string> EndSessions(const std::function<bool(const std::string &user)> &ends);
    void Remove(std::uint64_t id);
    void LoginArrived(std::uint64_t id);
    std::size_t Limit(Pool pool) const { return limits_[Index(pool)]; }

private:
    struct Member {
        std::uint64_t id;
        int socket;
        std::uint32_t spid;
        std::string peer;
        std::string user;  // once logged in
        bool login_arrived = false;
    };
    using Members = std::list<Member>;  // oldest first

    static std::size_t Index(Pool pool) { return static_cast<std::size_t>(pool); }
    // Makes room in a full pool by shutting down a member: the oldest whose login has not
    // arrived, else the oldest.
    std::optional<Displaced> MakeRoom(Members &members, std::size_t limit);
    std::optional<Members::iterator> Find(std::uint64_t id, Pool &pool);

    std::array<std::size_t, 3> limits_;
    std::mutex mutex_;
    std::array<Members, 3> pools_;
    std::uint64_t next_id_ = 1;
};

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_CONNECTION_POOLS_H
