// The other agents this agent forwards requests to: their logins, and one connection to each.
#ifndef PAAGENT_CORE_PEERS_H
#define PAAGENT_CORE_PEERS_H

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/agent.h"
#include "core/hang_up_watcher.h"

namespace paagent {

// The application name of an agent's logins to its peers. A request that comes under it has
// been forwarded once already and is never forwarded again, so that routing tables that point
// back at each other cannot make a loop.
inline constexpr const char *kForwardApplication = "paagentd-forward";

struct PeerLogin {
    std::string user;
    std::string password;

    bool operator==(const PeerLogin &) const = default;
};

// Reads a peers file: one server:user:password line per peer (the password is the rest of the
// line and may hold colons); empty lines and lines starting with # are skipped. Throws
// std::runtime_error naming the file when it cannot be read or when its group or others may
// read or write it, and naming the line of a malformed entry or a server listed twice.
std::map<std::string, PeerLogin> LoadPeers(const std::filesystem::path &path);

// Sends requests to peers through the client library. A request holds a connection to its peer
// for itself alone: an idle one kept from an earlier request of the same user, or a new one;
// afterwards a few are kept for the requests to come. So a request that waits long (a start that
// watches its process) holds up no other request to the same peer, and a peer that does not
// answer holds up only the requests for it. The login's client host names the user and this
// agent ("alice@agentA"), so that the peer can say whose request it carries out.
class Peers : public PeerCalls {
public:
    // server_name is this agent's; timeout bounds every call; stop_allowance is added for the
    // calls that stop processes.
    Peers(std::string server_name, std::map<std::string, PeerLogin> logins, std::chrono::seconds timeout,
          std::chrono::seconds stop_allowance);
    ~Peers() override;
    Peers(const Peers &)            = delete;
    Peers &operator=(const Peers &) = delete;

    // Makes these the logins of the requests to come (a reload of the peers file).
    void ReplaceLogins(std::map<std::string, PeerLogin> logins);

    void Start(const std::string &server, const Process &process, std::int32_t timeout_seconds,
               const std::string &extra_args) override;
    void Stop(const std::string &server, const Process &process) override;
    void Signal(const std::string &server, const Process &process, std::int32_t signal) override;
    ProcessView Status(const std::string &server, const Process &process) override;
    void Change(const std::string &server, const std::string &old_name, const Process &process) override;
    void RequestState(const std::string &server, const Process &process, std::int32_t state) override;
    std::vector<ProcessView> Running(const std::string &server) override;
    agentclient::Output ReadOutput(const std::string &server, const Process &process, std::int64_t cursor,
                                   std::int32_t tail_lines, std::int32_t wait_seconds) override;
    agentclient::EventBatch WaitEvents(const std::string &server, const std::string &host, std::int64_t cursor,
                                       std::int32_t wait_seconds) override;
    std::vector<agentclient::ProcessHealth> Health(const std::string &server, const std::string &name,
                                                   const std::string &host) override;
    std::vector<agentclient::ProcessStats> Stats(const std::string &server, const std::string &name,
                                                 const std::string &host) override;

private:
    struct Pool;
    // Runs call on a connection of its own to server, bounded by bound. Throws AgentError with
    // the peer's refusal, or naming the peer when it cannot be reached.
    template <class Call>
    auto On(const std::string &server, std::chrono::seconds bound, const Call &call);
    // The idle connections to server made for the requests of caller.
    Pool &PoolOf(const std::string &server, const std::string &caller);
    // Throws AgentError when the peers file has no login for server.
    PeerLogin Login(const std::string &server) const;

    std::string server_name_;
    mutable std::mutex logins_mutex_;
    std::map<std::string, PeerLogin> logins_;
    std::chrono::seconds timeout_;
    std::chrono::seconds stop_allowance_;
    std::mutex pools_mutex_;
    std::map<std::pair<std::string, std::string>, std::unique_ptr<Pool>> pools_;
    // A forwarded call is given up once its client has gone: nobody is left to hear the answer.
    HangUpWatcher hang_ups_;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_PEERS_H
