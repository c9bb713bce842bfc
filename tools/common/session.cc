#include "session.h"

#include "login.h"

namespace patools {

agentclient::Connection Connect(const std::string &server, const Credentials &credentials)
{
    try {
        return agentclient::Connection(
            server, credentials.user, credentials.password,
            {.application = credentials.application, .timeout = credentials.timeout, .retry = {}});
    } catch (const agentclient::Error &error) {
        if (error.TimedOut()) {
            throw NoAnswer(server, credentials.timeout);
        }
        throw;
    }
}

Failure NoAnswer(const std::string &server, std::chrono::seconds limit)
{
    const std::string seconds = std::to_string(limit.count()) + (limit.count() == 1 ? " second" : " seconds");
    return Failure(Exit::kUnreachable, "no answer from " + server + " within " + seconds);
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
        credentials_     = Credentials{std::move(user), ResolvePassword(options_.password_file), options_.timeout,
                                   options_.application};
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

}  // namespace patools
