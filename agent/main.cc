// paagentd: the reference process agent.
#include <CLI/CLI.hpp>
#include <agentclient/agentclient.hpp>
#include <config/config_file.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include "core/agent.h"
#include "core/check_settings.h"
#include "core/hook_runner.h"
#include "core/log_writer.h"
#include "core/peers.h"
#include "core/rpc_handlers.h"
#include "core/spawn.h"
#include "core/users.h"
#include "tds/listener.h"
#include "tds/server.h"

namespace {

using namespace paagent;
using agentclient::config::ConfigEnding;
using agentclient::config::ConfigError;
using agentclient::config::LoadConfig;
using agentclient::config::SaveConfig;

const tds::ServerConfig kServerDefaults;

struct Settings {
    std::filesystem::path home;
    std::filesystem::path users;
    std::filesystem::path config;
    std::filesystem::path checks_dir;  // default HOME/checks.d
    std::string listen   = "127.0.0.1:0";
    std::string name     = "PASRV";
    double grace_seconds = 5;
    std::int32_t debug   = 1;
    // Limits on connections and logins, by default the server's own.
    std::size_t max_pending      = kServerDefaults.max_logging_in;
    std::size_t max_sessions     = kServerDefaults.max_sessions;
    std::size_t max_inform       = kServerDefaults.max_single_rpc;
    double login_timeout_seconds = std::chrono::duration<double>(kServerDefaults.login_timeout).count();
    std::filesystem::path login_key;        // default HOME/login_key.pem
    std::optional<bool> require_encrypted;  // default: beyond loopback only
    // Running as a service: what survives the agent, and how it is run.
    bool keep_processes          = false;  // on SIGTERM or SIGINT, for the next agent to adopt
    bool check                   = false;  // only check the files
    double restart_delay_seconds = 1;      // the first delay before restarting a failed process
    LogOptions log_options;
    // Many hosts: this agent's host, and the logins and time-out of its calls to other agents.
    std::string host_name;
    std::filesystem::path peers;
    int peer_timeout_seconds = 5;
    // Events: how many are kept for clients, and the program run for each.
    std::size_t events_kept = 10'000;
    std::filesystem::path on_event;
    double hook_timeout_seconds = 10;
};

// The longest a forwarded call may take: well within the caller's own time-out, which also
// covers this agent's wait for the peer's connection.
constexpr int kMaxPeerTimeOut = 10;
// The most events kept: each takes some hundred bytes.
constexpr std::size_t kMaxEventsKept = 10'000'000;

std::string MachineHostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        throw std::runtime_error("cannot read the host name; give --host-name");
    }
    return name;
}

// The log writer, where the installation puts it beside the agent (PAAGENTD_LOG_WRITER, relative
// to the agent's directory), and its arguments.
std::vector<std::string> LogWriterCommand(const Settings &settings)
{
    std::error_code error;
    const std::filesystem::path agent = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        throw std::runtime_error("cannot find the agent's own program: " + error.message());
    }
    const std::filesystem::path writer = (agent.parent_path() / PAAGENTD_LOG_WRITER).lexically_normal();
    if (access(writer.c_str(), X_OK) != 0) {
        throw std::runtime_error("cannot run the log writer " + writer.string() + ": " + std::strerror(errno));
    }
    std::vector<std::string> command = {writer.string()};
    if (settings.log_options.timestamps) {
        command.emplace_back("--timestamps");
    }
    command.push_back(std::to_string(settings.log_options.max_bytes));
    command.push_back(std::to_string(settings.log_options.backups));
    return command;
}

std::mutex log_mutex;

// Running under systemd. Each notice goes to the service manager only when it set
// NOTIFY_SOCKET, and the log takes the journal's severity prefixes only when standard error is
// the journal stream it named in JOURNAL_STREAM ("device:inode"); otherwise both are as without
// systemd.
bool StderrIsJournal()
{
    const char *stream = std::getenv("JOURNAL_STREAM");
    struct stat status {};
    if (stream == nullptr || fstat(STDERR_FILENO, &status) != 0) {
        return false;
    }
    return std::string(stream) == std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
}

int SeverityOf(Verbosity verbosity)
{
    switch (verbosity) {
    case Verbosity::kError: return LOG_ERR;
    case Verbosity::kEvent: return LOG_NOTICE;
    case Verbosity::kRequest: return LOG_INFO;
    case Verbosity::kDetail: break;
    }
    return LOG_DEBUG;
}

int SeverityOf(tds::LogLevel level)
{
    switch (level) {
    case tds::LogLevel::kError: return LOG_ERR;
    case tds::LogLevel::kWarning: return LOG_WARNING;
    case tds::LogLevel::kInfo: return LOG_INFO;
    case tds::LogLevel::kDebug: break;
    }
    return LOG_DEBUG;
}

// Every record is one line: whatever a client sent within text (names, parameters) is escaped,
// so that it can neither end the line nor forge another. The journal stamps its records itself.
void LogLine(const std::string &text, int severity = LOG_NOTICE)
{
    static const bool kJournal = StderrIsJournal();
    if (kJournal) {
        std::string escaped = tds::EscapedForLog(text);
        std::lock_guard lock(log_mutex);
        std::cerr << "<" << severity << ">" << escaped << std::endl;
        return;
    }
    std::time_t now = std::time(nullptr);
    std::tm local{};
    // localtime_r, unlike localtime, may run in several threads at once.
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::string escaped = tds::EscapedForLog(text);
    std::lock_guard lock(log_mutex);
    std::cerr << stamp << " paagentd: " << escaped << std::endl;
}

// Each pool's limit: every connection takes a thread and a descriptor.
constexpr std::size_t kMaxConnections = 10'000;
// The largest --log-max-bytes: a larger value, times the backups kept for each process, is more
// likely a slip than a plan for the disk.
constexpr std::uint64_t kMaxLogBytes = std::uint64_t{1} << 30;

// Splits HOST:PORT; the port must be a number from 0 to 65535.
std::pair<std::string, std::uint16_t> SplitAddress(const std::string &listen)
{
    auto colon = listen.rfind(':');
    if (colon == std::string::npos) {
        throw CLI::ValidationError("--listen", "expected HOST:PORT");
    }
    int port = -1;
    try {
        port = std::stoi(listen.substr(colon + 1));
    } catch (const std::exception &) {
    }
    if (port < 0 || port > 65535) {
        throw CLI::ValidationError("--listen", "bad port in " + listen);
    }
    return {listen.substr(0, colon), static_cast<std::uint16_t>(port)};
}

// Refuses a grace period that would let a stop, which waits up to the grace period and then the
// kill wait, outlast the client library's default reply time-out.
const CLI::Validator kGraceSeconds(
    [](std::string &text) -> std::string {
        double seconds = -1;
        try {
            seconds = std::stod(text);
        } catch (const std::exception &) {
        }
        if (seconds >= 0 && seconds <= static_cast<double>(kMaxGrace.count())) {
            return {};
        }
        return "the grace period must be from 0 to " + std::to_string(kMaxGrace.count()) +
               " seconds, so that a stop (grace period and " + std::to_string(kKillWait.count()) +
               " seconds after SIGKILL) answers within the client's " + std::to_string(kClientReplyTimeOut.count()) +
               "-second reply time-out; got " + text;
    },
    "SECONDS from 0 to " + std::to_string(kMaxGrace.count()));

// Waits for SIGINT, SIGTERM or a stop request, and passes on SIGHUP.
class StopWaiter {
public:
    StopWaiter()
    {
        std::uint64_t watchdog_usec = 0;
        if (sd_watchdog_enabled(0, &watchdog_usec) > 0) {
            ping_ms_ = static_cast<int>(std::max<std::uint64_t>(watchdog_usec / 2000, 1));
        }
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGHUP);
        // Blocked before any thread starts, so every thread inherits the mask; SIGCHLD too,
        // which the supervisor alone reads.
        sigset_t blocked = signals;
        sigaddset(&blocked, SIGCHLD);
        pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
        signals_ = tds::FileDescriptor(signalfd(-1, &signals, SFD_CLOEXEC));
        request_ = tds::FileDescriptor(eventfd(0, EFD_CLOEXEC));
    }

    void Request(bool stop_processes)
    {
        stop_processes_   = stop_processes;
        std::uint64_t one = 1;
        (void)!write(request_.Get(), &one, sizeof one);
    }

    // Calls on_hangup for every SIGHUP until the agent is to stop; returns whether its
    // processes are to be stopped: after a signal when signal_stops_processes, after a request
    // when it says so.
    bool Wait(bool signal_stops_processes, const std::function<void()> &on_hangup)
    {
        for (;;) {
            pollfd fds[2]   = {{signals_.Get(), POLLIN, 0}, {request_.Get(), POLLIN, 0}};
            const int ready = poll(fds, 2, ping_ms_);
            // Twice within the service manager's watchdog time-out.
            if (ready == 0) {
                sd_notify(0, "WATCHDOG=1");
            }
            if (ready <= 0) {
                continue;
            }
            if (fds[1].revents != 0) {
                return stop_processes_;
            }
            signalfd_siginfo signal{};
            if (read(signals_.Get(), &signal, sizeof signal) != sizeof signal) {
                continue;
            }
            if (signal.ssi_signo != SIGHUP) {
                return signal_stops_processes;
            }
            sd_notify(0, "RELOADING=1");
            on_hangup();
            sd_notify(0, "READY=1");
        }
    }

private:
    tds::FileDescriptor signals_;
    tds::FileDescriptor request_;
    std::atomic<bool> stop_processes_ = false;
    int ping_ms_                      = -1;  // how often to ping the watchdog, or never
};

// The client library's messages, about the calls to peers, go to the agent's log while it
// lives; the library's last ones, from closing those connections with the agent, do not.
class LibraryLog {
public:
    explicit LibraryLog(const Agent &agent)
    {
        agentclient::SetLogger([&agent](std::int32_t, std::string_view text) {
            agent.Log(Verbosity::kRequest, "client library: " + std::string(text));
        });
    }
    ~LibraryLog() { agentclient::SetLogger({}); }
    LibraryLog(const LibraryLog &)            = delete;
    LibraryLog &operator=(const LibraryLog &) = delete;
};

// Reloading and checking the files. Each file is read whole first: one that cannot be read
// changes nothing, and the reason names its line.
using SharedUsers = std::atomic<std::shared_ptr<const Users>>;

std::filesystem::path ConfigPath(const Settings &settings)
{
    return settings.config.empty() ? settings.home / "pa.cfg" : settings.config;
}

std::filesystem::path ChecksPath(const Settings &settings)
{
    return settings.checks_dir.empty() ? settings.home / "checks.d" : settings.checks_dir;
}

// The directory's own warnings, and one for each file of a process no service defines: a
// misspelt name would leave the process without its checks.
std::vector<std::string> ChecksWarnings(const ChecksDirectory &checks, const std::vector<Service> &services,
                                        const std::filesystem::path &dir)
{
    std::set<std::string> defined;
    for (const Service &service : services) {
        for (const Member &member : service.members) {
            defined.insert(member.process.name);
        }
    }
    std::vector<std::string> warnings = checks.warnings;
    for (const auto &[name, settings] : checks.settings) {
        if (!defined.contains(name)) {
            warnings.push_back((dir / (name + ".conf")).string() + ": a file for a process that is not defined");
        }
    }
    return warnings;
}

// Read after the configuration, whose processes the warnings are about.
void ReloadChecks(const Settings &settings, Agent &agent)
{
    const std::filesystem::path dir = ChecksPath(settings);
    try {
        ChecksDirectory checks = LoadChecksDirectory(dir);
        for (const std::string &warning : ChecksWarnings(checks, agent.GetCatalog().Services(false), dir)) {
            LogLine("reload: " + warning, LOG_WARNING);
        }
        agent.SetCheckSettings(std::move(checks));
        LogLine("reload: read the checks directory " + dir.string());
    } catch (const std::exception &error) {
        LogLine(std::string("reload: ") + error.what() + "; the checks are left as they were");
    }
}

// A file without users would lock every client out, the reload's own sender included. The
// sessions of a user removed, or whose password changed, end; a changed role or uids holds from
// the session's next request, whose access is looked up afresh.
void ReloadUsers(const Settings &settings, SharedUsers &users, tds::Server &server)
{
    try {
        auto next = std::make_shared<const Users>(Users::Load(settings.users));
        if (next->Accesses().empty()) {
            throw std::runtime_error("users file " + settings.users.string() + " holds no user");
        }
        const auto ended_logins = users.load()->LoginsEndedBy(*next);
        users.store(next);
        const std::vector<std::string> ended =
            server.EndSessions([&](const std::string &user) { return ended_logins.contains(user); });
        std::string names;
        for (const std::string &user : std::set<std::string>(ended.begin(), ended.end())) {
            names += (names.empty() ? "" : ", ") + user;
        }
        LogLine("reload: read the users file " + settings.users.string() + "; ended " + std::to_string(ended.size()) +
                " sessions" + (ended.empty() ? "" : " of users " + names));
    } catch (const std::exception &error) {
        LogLine(std::string("reload: ") + error.what() + "; the users are left as they were");
    }
}

void Reload(const Settings &settings, Agent &agent, SharedUsers &users, Peers &peers, tds::Server &server)
{
    ReloadUsers(settings, users, server);
    const std::filesystem::path config = ConfigPath(settings);
    try {
        agent.GetCatalog().Reload(LoadConfig(config, ConfigEnding::kRouting));
        LogLine("reload: read the configuration file " + config.string());
    } catch (const std::exception &error) {
        LogLine("reload: " + config.string() + ": " + error.what() + "; the definitions are left as they were");
    }
    ReloadChecks(settings, agent);
    if (settings.peers.empty()) {
        return;
    }
    try {
        peers.ReplaceLogins(LoadPeers(settings.peers));
        LogLine("reload: read the peers file " + settings.peers.string());
    } catch (const std::exception &error) {
        LogLine(std::string("reload: ") + error.what() + "; the peers are left as they were");
    }
}

// Reads the files and the checks directory as a start would; 0 when all can be used.
int CheckFiles(const Settings &settings)
{
    int status = 0;
    try {
        const Users users = Users::Load(settings.users);
        std::cout << settings.users.string() << ": ok" << std::endl;
        for (const auto &access : users.Accesses()) {
            std::cout << "user " << access->User() << ": " << access->Describe() << std::endl;
        }
    } catch (const std::exception &error) {
        std::cerr << "paagentd: " << error.what() << std::endl;
        status = 1;
    }
    const std::filesystem::path config = ConfigPath(settings);
    std::optional<Definitions> definitions;
    try {
        definitions = LoadConfig(config, ConfigEnding::kRouting);
        std::cout << config.string() << ": ok" << std::endl;
    } catch (const std::exception &error) {
        std::cerr << "paagentd: " << config.string() << ": " << error.what() << std::endl;
        status = 1;
    }
    const std::filesystem::path checks_dir = ChecksPath(settings);
    try {
        const ChecksDirectory checks = LoadChecksDirectory(checks_dir);
        // Without the definitions every file would seem to be for an undefined process.
        std::vector<std::string> warnings = checks.warnings;
        if (definitions) {
            warnings = ChecksWarnings(checks, definitions->services, checks_dir);
        }
        for (const std::string &warning : warnings) {
            std::cerr << "paagentd: warning: " << warning << std::endl;
        }
        std::cout << checks_dir.string() << ": ok, settings of " << checks.settings.size() << " processes" << std::endl;
    } catch (const std::exception &error) {
        std::cerr << "paagentd: " << error.what() << std::endl;
        status = 1;
    }
    if (settings.peers.empty()) {
        return status;
    }
    try {
        LoadPeers(settings.peers);
        std::cout << settings.peers.string() << ": ok" << std::endl;
    } catch (const std::exception &error) {
        std::cerr << "paagentd: " << error.what() << std::endl;
        status = 1;
    }
    return status;
}

// An agent running as root runs a process as whichever user its definition names.
void WarnOfRootLogins(const Users &users)
{
    if (geteuid() != 0) {
        return;
    }
    std::string logins;
    for (const auto &access : users.Accesses()) {
        if (access->GetRole() != Role::kRead && access->MayRunAs(0)) {
            logins += (logins.empty() ? "" : ", ") + access->User();
        }
    }
    if (!logins.empty()) {
        LogLine("running as root, and these logins may run processes as root: " + logins +
                    "; give them a uids field in the users file",
                LOG_WARNING);
    }
}

int Run(const Settings &settings)
{
    StopWaiter waiter;
    SharedUsers users(std::make_shared<const Users>(Users::Load(settings.users)));
    WarnOfRootLogins(*users.load());
    std::filesystem::path config = ConfigPath(settings);
    Definitions definitions;
    try {
        definitions = LoadConfig(config, ConfigEnding::kRouting);
    } catch (const ConfigError &error) {
        std::cerr << "paagentd: " << config.string() << ": " << error.what() << std::endl;
        return 2;
    }
    const std::filesystem::path checks_dir = ChecksPath(settings);
    ChecksDirectory checks                 = LoadChecksDirectory(checks_dir);
    std::map<std::string, PeerLogin> peers;
    if (!settings.peers.empty()) {
        peers = LoadPeers(settings.peers);
    }
    // It holds the logs, the state file and the login key; the agent creates the logs.
    CreatePrivateDirectory(settings.home);

    AgentOptions options;
    // Outlives the agent: the last events' hooks may still run when it has gone.
    std::optional<HookRunner> hooks;
    if (!settings.on_event.empty()) {
        hooks.emplace(HookOptions{
            settings.on_event, std::chrono::milliseconds(static_cast<long>(settings.hook_timeout_seconds * 1000)),
            [](Verbosity verbosity, const std::string &text) { LogLine(text, SeverityOf(verbosity)); }});
        options.on_event                = [&hooks](const agentclient::Event &event) { hooks->Enqueue(event); };
        options.supervision.child_ended = [&hooks](const siginfo_t &child) { hooks->ChildEnded(child); };
    }
    options.events_kept             = settings.events_kept;
    options.supervision.server_name = settings.name;
    options.supervision.log_dir     = settings.home / "logs";
    options.supervision.grace       = std::chrono::milliseconds(static_cast<long>(settings.grace_seconds * 1000));
    options.persist                 = [config](const Definitions &next) { SaveConfig(config, next); };
    options.log = [](Verbosity verbosity, const std::string &text) { LogLine(text, SeverityOf(verbosity)); };
    options.supervision.state_file = settings.home / "paagentd.state";
    options.supervision.log_writer = LogWriterCommand(settings);
    options.supervision.restart_delay =
        std::chrono::milliseconds(static_cast<long>(settings.restart_delay_seconds * 1000));
    options.host_name = settings.host_name.empty() ? MachineHostName() : settings.host_name;
    // A forwarded stop waits as long as a stop here would, peers being set up alike.
    const auto stop_allowance = std::chrono::ceil<std::chrono::seconds>(options.supervision.grace) + kKillWait;
    auto forwarding           = std::make_shared<Peers>(settings.name, std::move(peers),
                                              std::chrono::seconds(settings.peer_timeout_seconds), stop_allowance);
    options.peers             = forwarding;
    LogLine("host " + options.host_name + "; requests for other hosts time out after " +
            std::to_string(settings.peer_timeout_seconds) + " seconds");
    Agent agent(std::move(options));
    LibraryLog library_log(agent);
    agent.SetDebugLevel(settings.debug);
    agent.GetCatalog().Load(definitions);
    for (const std::string &warning : ChecksWarnings(checks, definitions.services, checks_dir)) {
        LogLine(warning, LOG_WARNING);
    }
    agent.SetCheckSettings(std::move(checks));
    agent.GetSupervisor().Adopt();

    auto [host, port] = SplitAddress(settings.listen);
    tds::ServerConfig server_config;
    server_config.address        = host;
    server_config.port           = port;
    server_config.server_name    = settings.name;
    server_config.max_logging_in = settings.max_pending;
    server_config.max_sessions   = settings.max_sessions;
    server_config.max_single_rpc = settings.max_inform;
    server_config.login_timeout  = std::chrono::milliseconds(static_cast<long>(settings.login_timeout_seconds * 1000));
    std::filesystem::path key_file = settings.login_key.empty() ? settings.home / "login_key.pem" : settings.login_key;
    server_config.login_key        = std::make_shared<const tds::LoginKey>(tds::LoginKey::LoadOrCreate(key_file));
    server_config.require_encrypted_login = settings.require_encrypted.value_or(!tds::IsLoopbackAddress(host));
    LogLine("login key " + key_file.string() + " (" + std::to_string(server_config.login_key->Bits()) +
            " bits); passwords in clear are " + (server_config.require_encrypted_login ? "refused" : "accepted"));
    // The inform login reports one process and goes: its session ends after its one RPC.
    server_config.check_login = [&users](std::string_view user, std::string_view password) {
        if (user == pa::protocol::kInformUser) {
            return password == pa::protocol::kInformPassword ? tds::LoginGrant::kSingleRpc : tds::LoginGrant::kRefused;
        }
        return users.load()->Check(user, password) ? tds::LoginGrant::kSession : tds::LoginGrant::kRefused;
    };
    server_config.log = [&agent](tds::LogLevel level, std::string_view line) {
        if (level != tds::LogLevel::kDebug || agent.DebugLevel() >= static_cast<int>(Verbosity::kDetail)) {
            LogLine(std::string(line), SeverityOf(level));
        }
    };
    tds::Server server(std::move(server_config));
    RegisterRpcs(
        server, agent, [&waiter](bool stop_processes) { waiter.Request(stop_processes); },
        [&users](const std::string &user) { return users.load()->AccessOf(user); });
    server.Start();
    std::cout << "paagentd: " << settings.name << " listening on " << host << ":" << server.Port() << std::endl;
    sd_notifyf(0, "READY=1\nSTATUS=%s listening on %s:%u", settings.name.c_str(), host.c_str(), server.Port());

    agent.StartAutomaticServices();
    bool stop_processes =
        waiter.Wait(!settings.keep_processes, [&] { Reload(settings, agent, users, *forwarding, server); });
    sd_notify(0, "STOPPING=1");
    LogLine(stop_processes ? "stopping, with every process" : "stopping");
    // Ends the waits of the requests in progress, so that stopping the server, which lets
    // them finish, takes no longer than the agent's own stop of its processes.
    agent.ShutDown(stop_processes);
    server.Stop();
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"paagentd: a process agent serving the agent client library over TDS 5.0"};
    Settings settings;
    bool hash = false;
    app.add_option("--home", settings.home, "working directory: process logs, default configuration file");
    app.add_option("--users", settings.users, "users file of user:crypt-hash[:role[:uids]] lines")
        ->check(CLI::ExistingFile);
    app.add_option("--listen", settings.listen, "HOST:PORT to listen on (port 0 picks one)")->capture_default_str();
    app.add_option("--name", settings.name, "the agent's server name")->capture_default_str();
    app.add_option("--config", settings.config, "configuration file (default HOME/pa.cfg)");
    app.add_option("--checks-dir", settings.checks_dir,
                   "directory of PROCESS.conf files: readiness and health checks (default HOME/checks.d)");
    app.add_option("--grace", settings.grace_seconds, "seconds between SIGTERM and SIGKILL on a stop")
        ->check(kGraceSeconds)
        ->capture_default_str();
    app.add_option("--debug", settings.debug, "debug level, 0 to 3")->capture_default_str();
    auto add_limit = [&app](const std::string &name, std::size_t &limit, const std::string &help) {
        app.add_option(name, limit, help)->check(CLI::Range(std::size_t{1}, kMaxConnections))->capture_default_str();
    };
    add_limit("--max-pending", settings.max_pending,
              "connections not logged in yet; beyond, each new one closes the oldest");
    add_limit("--max-sessions", settings.max_sessions,
              "sessions of users from the users file; beyond, a login is refused");
    add_limit("--max-inform", settings.max_inform,
              "sessions of the inform login; beyond, each new one closes the oldest");
    app.add_option("--login-timeout", settings.login_timeout_seconds,
                   "seconds a connection has to log in, and an inform session to send its RPC")
        ->check(CLI::Range(0.1, 300.0))
        ->capture_default_str();
    app.add_option("--login-key", settings.login_key,
                   "private RSA key of encrypted logins (default HOME/login_key.pem; created when missing)");
    auto *require = app.add_flag_callback(
        "--require-encrypted-login", [&settings] { settings.require_encrypted = true; },
        "refuse logins whose password comes in clear (the default unless listening on loopback)");
    auto *allow = app.add_flag_callback(
        "--allow-clear-login", [&settings] { settings.require_encrypted = false; },
        "accept logins whose password comes in clear, also beyond loopback");
    require->excludes(allow);
    // Running as a service.
    app.add_flag("--keep-processes-on-exit", settings.keep_processes,
                 "on SIGTERM or SIGINT leave the processes running, for the next agent to adopt");
    app.add_flag("--check", settings.check,
                 "check the users and configuration files and the checks directory, then exit");
    app.add_option("--log-max-bytes", settings.log_options.max_bytes, "size at which a process's log is rotated")
        ->check(CLI::Range(std::uint64_t{1024}, kMaxLogBytes))
        ->capture_default_str();
    app.add_option("--log-backups", settings.log_options.backups, "rotated logs kept for each process")
        ->check(CLI::Range(0, 1000))
        ->capture_default_str();
    app.add_flag("--log-timestamps", settings.log_options.timestamps,
                 "begin each line of a process's log with the time it was written (RFC 3339, UTC)");
    app.add_option("--restart-delay", settings.restart_delay_seconds,
                   "seconds before the first restart of a failed managed process; doubled at each failure up to " +
                       std::to_string(kMaxRestartDelays) + " times as long")
        ->check(CLI::Range(0.001, 60.0))
        ->capture_default_str();

    app.add_option("--host-name", settings.host_name, "this agent's host (default: the machine's host name)");
    app.add_option("--peers", settings.peers, "file of server:user:password lines: the logins to other agents");
    app.add_option("--peer-timeout", settings.peer_timeout_seconds,
                   "seconds a request forwarded to another agent may take (a stop: plus the grace period and " +
                       std::to_string(kKillWait.count()) + " seconds)")
        ->check(CLI::Range(1, kMaxPeerTimeOut))
        ->capture_default_str();
    app.add_option("--events-kept", settings.events_kept, "the last events kept for clients to wait for")
        ->check(CLI::Range(kMinEventsKept, kMaxEventsKept))
        ->capture_default_str();
    app.add_option("--on-event", settings.on_event,
                   "program run for each event, with the event in PA_EVENT_* environment variables")
        ->check(CLI::ExistingFile);
    app.add_option("--hook-timeout", settings.hook_timeout_seconds,
                   "seconds after which the program of --on-event is killed")
        ->check(CLI::Range(0.1, 3600.0))
        ->capture_default_str();
    app.add_flag("--hash-password", hash, "read a password on standard input and print its hash for a users file");
    CLI11_PARSE(app, argc, argv);

    try {
        if (hash) {
            std::string password;
            std::getline(std::cin, password);
            std::cout << HashPassword(password) << std::endl;
            return 0;
        }
        if (settings.home.empty() || settings.users.empty()) {
            std::cerr << "paagentd: --home and --users are required\n" << app.help();
            return 2;
        }
        if (settings.check) {
            return CheckFiles(settings);
        }
        return Run(settings);
    } catch (const std::exception &error) {
        std::cerr << "paagentd: " << error.what() << std::endl;
        return 1;
    }
}
