// The agents a tool talks to: the login settings, and connections made from them.
#ifndef PATOOLS_SESSION_H
#define PATOOLS_SESSION_H

#include "failure.h"

#include <agentclient/agentclient.hpp>

#include <chrono>
#include <optional>
#include <string>

namespace patools {

// What the command line says about logging in.
struct LoginOptions {
    std::string server;
    std::string user;
    std::string password_file;
    std::chrono::seconds timeout{30};
    std::string application = "pactl";  // the program's name, which the agent's log shows
};

// Everything a connection needs, resolved once so that threads can connect on their own.
struct Credentials {
    std::string user;
    std::string password;
    std::chrono::seconds timeout{30};
    std::string application = "pactl";
};

// Connects to server; the login and every reply may take the credentials' time-out. Throws
// NoAnswer when the login takes longer, agentclient::Error when it fails.
agentclient::Connection Connect(const std::string &server, const Credentials &credentials);
// The failure of an agent that did not answer within limit.
Failure NoAnswer(const std::string &server, std::chrono::seconds limit);

class Session {
public:
    explicit Session(LoginOptions options) : options_(std::move(options)) {}

    // The agent the tool is about (-S, PA_SERVER or the interfaces file's only entry).
    const std::string &ServerName();
    // Resolves the user and the password, asking for the password at most once.
    const Credentials &Login();
    // The connection to ServerName(), opened at first use.
    agentclient::Connection &Agent();

private:
    LoginOptions options_;
    std::optional<std::string> server_;
    std::optional<Credentials> credentials_;
    std::optional<agentclient::Connection> agent_;
};

}  // namespace patools

#endif  // PATOOLS_SESSION_H
