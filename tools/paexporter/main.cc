// paexporter: the agents' processes as Prometheus metrics and as a live status page, read over
// the library's C++ API with the logins pactl uses.
#include "agents.h"
#include "web_server.h"

#include <errors.h>
#include <session.h>

#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <csignal>
#include <iostream>
#include <thread>

namespace {

using patools::Exit;

struct Arguments {
    patools::LoginOptions login;
    bool all           = false;
    std::string listen = "127.0.0.1:9478";
    std::string tls_cert;
    std::string tls_key;
    std::string users;
    int timeout = 10;
};

int Report(const patools::Explanation &explanation)
{
    std::cerr << "paexporter: " << explanation.message << '\n';
    return static_cast<int>(explanation.status);
}

// Whether address names this host's loopback interface only.
bool Loopback(const std::string &address)
{
    in_addr ipv4{};
    in6_addr ipv6{};
    if (inet_pton(AF_INET, address.c_str(), &ipv4) == 1) {
        return (ntohl(ipv4.s_addr) >> 24) == 127;
    }
    return address == "localhost" || (inet_pton(AF_INET6, address.c_str(), &ipv6) == 1 && IN6_IS_ADDR_LOOPBACK(&ipv6));
}

// The address and port of ADDR:PORT ([ADDR]:PORT for IPv6), checked against what else is given:
// beyond loopback the exporter serves over TLS to the logins of a users file only.
paexporter::WebOptions WebOptionsOf(const Arguments &arguments)
{
    const std::size_t colon = arguments.listen.rfind(':');
    paexporter::WebOptions options;
    try {
        std::size_t used = 0;
        options.port     = std::stoi(arguments.listen.substr(colon + 1), &used);
        if (colon == std::string::npos || used != arguments.listen.size() - colon - 1 || options.port < 0 ||
            options.port > 65535) {
            throw std::invalid_argument("port");
        }
    } catch (const std::logic_error &) {
        throw patools::UsageError("--listen wants ADDRESS:PORT, not " + arguments.listen);
    }
    options.address = arguments.listen.substr(0, colon);
    if (options.address.size() > 2 && options.address.front() == '[' && options.address.back() == ']') {
        options.address = options.address.substr(1, options.address.size() - 2);
    }
    if (!Loopback(options.address) && (arguments.tls_cert.empty() || arguments.users.empty())) {
        throw patools::UsageError("listening on " + options.address +
                                  ", beyond loopback, needs --tls-cert, --tls-key and --users");
    }
    options.tls_cert = arguments.tls_cert;
    options.tls_key  = arguments.tls_key;
    return options;
}

// The logins of --users, if given.
std::optional<paexporter::Logins> LoginsOf(const Arguments &arguments)
{
    if (arguments.users.empty()) {
        return std::nullopt;
    }
    try {
        return std::optional<paexporter::Logins>(std::in_place, arguments.users);
    } catch (const std::exception &error) {
        throw patools::UsageError(error.what());
    }
}

// Blocks SIGTERM, SIGINT and SIGHUP in every thread started after it; SignalTaker takes them.
sigset_t BlockSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

// Takes the signals on a thread of its own: SIGHUP reads the users file again, SIGTERM and
// SIGINT stop the server. When the server ends otherwise, the thread is sent a SIGTERM of its
// own, so that it ends and can be joined.
class SignalTaker {
public:
    SignalTaker(const sigset_t &signals, paexporter::WebServer &server, paexporter::Logins *logins)
        : thread_([signals, &server, logins] {
              int signal = 0;
              while (sigwait(&signals, &signal) == 0 && signal == SIGHUP) {
                  if (logins != nullptr) {
                      logins->Reload();
                  }
              }
              server.Stop();
          })
    {
    }
    ~SignalTaker()
    {
        pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
    }
    SignalTaker(const SignalTaker &)            = delete;
    SignalTaker &operator=(const SignalTaker &) = delete;

private:
    std::thread thread_;
};

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app("paexporter: the process agents' processes as Prometheus metrics and a live status page. See "
                 "paexporter(1).",
                 "paexporter");
    Arguments arguments;
    app.add_option("-S,--server", arguments.login.server,
                   "the agent's server name (default: PA_SERVER, else the interfaces file's only entry)");
    app.add_option("-U,--user", arguments.login.user, "the user to log in as (default: PA_USER, else your login name)");
    app.add_option("--password-file", arguments.login.password_file,
                   "read the password from the first line of FILE (default: PA_PASSWORD)");
    app.add_flag("--all", arguments.all, "read every server of the agent's routing table too");
    app.add_option("--listen", arguments.listen, "ADDRESS:PORT to serve on (default 127.0.0.1:9478)");
    auto *cert = app.add_option("--tls-cert", arguments.tls_cert, "serve HTTPS with this certificate (PEM)");
    auto *key  = app.add_option("--tls-key", arguments.tls_key, "the certificate's private key (PEM)");
    cert->needs(key);
    key->needs(cert);
    app.add_option("--users", arguments.users, "a users file of the agent's format whose logins may read");
    app.add_option("--timeout", arguments.timeout, "seconds an agent may take to answer (default 10)")
        ->check(CLI::Range(1, 3600));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        if (error.get_exit_code() == 0) {
            return app.exit(error);
        }
        return Report({Exit::kUsage, patools::OneLine(error.what()) + " (see paexporter --help)"});
    }
    agentclient::SetLogger([](std::int32_t, std::string_view) {});

    const sigset_t signals = BlockSignals();
    try {
        paexporter::WebOptions web               = WebOptionsOf(arguments);
        std::optional<paexporter::Logins> logins = LoginsOf(arguments);
        paexporter::Logins *const users          = logins ? &*logins : nullptr;
        web.logins                               = users;
        arguments.login.application              = "paexporter";
        arguments.login.timeout                  = std::chrono::seconds(arguments.timeout);
        patools::Session session(arguments.login);
        paexporter::Agents agents(session.ServerName(), session.Login(), arguments.all);
        paexporter::WebServer server(agents, std::move(web));
        const std::optional<int> port = server.Bind();
        if (!port) {
            throw patools::Failure(Exit::kFailed, "cannot listen on " + arguments.listen);
        }
        const SignalTaker signal_taker(signals, server, users);
        std::cerr << "paexporter: serving " << (arguments.tls_cert.empty() ? "http" : "https") << "://"
                  << arguments.listen.substr(0, arguments.listen.rfind(':')) << ':' << *port << "/\n";
        server.Run();
    } catch (...) {
        return Report(patools::Explain(std::current_exception()));
    }
    return 0;
}
