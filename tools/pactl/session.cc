#include "session.h"

#include "bounded_task.h"
#include "login.h"

namespace pactl {

// The login runs on a thread of its own, left behind when the time-out passes first.
agentclient::Connection Connect(const std::string &server, const Credentials &credentials)
{
    BoundedTask<agentclient::Connection> login([server, credentials] {
        return agentclient::Connection(server, credentials.user, credentials.password,
                                       {.application = "pactl", .timeout = credentials.timeout, .retry = {}});
    });
    std::optional<agentclient::Connection> connection =
        login.Get(std::chrono::steady_clock::now() + credentials.timeout);
    if (!connection) {
        throw NoAnswer(server, credentials.timeout);
    }
    return std::move(*connection);
}

Failure NoAnswer(const std::string &server, std::chrono::seconds limit)
{
    const std::string seconds = std::to_string(limit.count()) + (limit.count() == 1 ? " second" : " seconds");
    return Failure(Exit::Unreachable, "no answer from " + server + " within " + seconds);
}

const std::string &Session::ServerName()
{
    if (!server_) {
        server_ = ResolveServer(options_.server);
    }
    return *server_;
}

const Credentials &Session::Login()
{
    if (!credentials_) {
        std::string user = ResolveUser(options_.user);
        credentials_     = Credentials{std::move(user), ResolvePassword(options_.passwordFile), options_.timeout};
    }
    return *credentials_;
}

agentclient::Connection &Session::Agent()
{
    if (!agent_) {
        const std::string &server = ServerName();
        agent_.emplace(Connect(server, Login()));
    }
    return *agent_;
}

}  // namespace pactl
