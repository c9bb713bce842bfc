#include "command_line.h"

#include "agent_commands.h"
#include "declarative.h"
#include "fan_out.h"
#include "service_commands.h"
#include "top_command.h"

#include <algorithm>

namespace patools {

namespace ac = agentclient;

namespace {

constexpr const char *kDescription =
    "pactl: the process agent's command line. It starts, stops, signals and watches the agent's processes and "
    "services, keeps its routing table and makes its definitions match a configuration file. See pactl(1).";

Exit Answered(const Json &) { return Exit::kDone; }

// The first word no command took, if any.
std::optional<std::string> Unmatched(const CLI::App &app)
{
    const std::vector<std::string> words = app.remaining(true);
    return words.empty() ? std::nullopt : std::optional(words.front());
}

}  // namespace

CommandLine::CommandLine() : app_(kDescription, "pactl")
{
    app_.require_subcommand(1);
    app_.fallthrough();
    DefineGlobalOptions();
    DefineProcessCommands();
    DefineServiceCommands();
    DefineDeclarativeCommands();
    DefineRouteCommands();
    DefineAgentCommands();
    DefineFollowCommands();
}

void CommandLine::Parse(int argc, char **argv)
{
    try {
        app_.parse(argc, argv);
    } catch (const CLI::RequiredError &) {
        // A word that names no command is taken for an argument, and the command found missing.
        if (const auto unknown = Unmatched(app_)) {
            throw UsageError("unknown command " + *unknown + " (see pactl --help)");
        }
        throw;
    }
    if ((all_ || !servers_.empty()) && !many_agents_) {
        throw UsageError("--servers and --all go with status, service list, agent version and watch only");
    }
    login_.timeout = std::chrono::seconds(timeout_);
}

void CommandLine::DefineGlobalOptions()
{
    app_.add_option("-S,--server", login_.server,
                    "the agent's server name (default: PA_SERVER, else the interfaces file's only entry)");
    app_.add_option("-U,--user", login_.user, "the user to log in as (default: PA_USER, else your login name)");
    app_.add_option("--password-file", login_.password_file,
                    "read the password from the first line of FILE (default: PA_PASSWORD, else a prompt)");
    auto *servers =
        app_.add_option("--servers", servers_, "ask each of these agents (status, service list, agent version)")
            ->delimiter(',');
    app_.add_flag("--all", all_, "ask the agent and every server in its routing table")->excludes(servers);
    app_.add_flag("--json", json_, "write JSON (see pactl(1) for the schema)");
    app_.add_option("--timeout", timeout_, "seconds a login or a reply may take (default 30)")
        ->check(CLI::Range(1, 86400));
    app_.add_flag("-v,--verbose", verbosity_, "show the library's log on standard error (twice: its debug log)");
}

void CommandLine::Choose(CLI::App *subcommand, Command run, bool many_agents)
{
    subcommand->callback([this, run = std::move(run), many_agents] {
        run_         = run;
        many_agents_ = many_agents;
    });
}

Exit CommandLine::Ask(Session &session, const Output &output, const std::vector<Column> &columns,
                      const std::function<Json(ac::Connection &, bool)> &question,
                      const std::function<Exit(const Json &)> &judge) const
{
    if (!all_ && servers_.empty()) {
        const Json records = question(session.Agent(), false);
        output.Records(columns, records);
        return judge(records);
    }
    const std::vector<std::string> servers = all_ ? AllServers(session) : servers_;
    const Json records =
        AskEach(servers, session.Login(), [&](ac::Connection &agent) { return question(agent, true); });
    output.Records(WithServer(columns), records);
    // Each agent that did not answer gave one error record.
    if (std::count_if(records.begin(), records.end(), [](const Json &r) { return r.contains("error"); }) ==
        static_cast<std::ptrdiff_t>(servers.size())) {
        throw Failure(Exit::kUnreachable, "none of the " + std::to_string(servers.size()) + " agents answered");
    }
    return judge(records);
}

void CommandLine::DefineProcessCommands()
{
    Arguments &a = arguments_;

    auto *status = app_.add_subcommand(
        "status",
        "show processes: name, host, state, PID, health, uptime, restarts, CPU%, memory and command (every one without "
        "names; exit status 3 when a named one is not running)");
    status->add_option("NAME", a.names, "processes to show");
    Choose(
        status,
        [this](Session &session, const Output &output) {
            const auto &names = arguments_.names;
            return Ask(
                session, output, kProcessColumns,
                [&](ac::Connection &agent, bool many) { return StatusRecords(agent, names, many); },
                [&](const Json &records) { return StatusExit(records, names); });
        },
        true);

    auto *top = app_.add_subcommand(
        "top", "show processes as status does, refreshed every second with the CPU% of that second, until q or Ctrl-C");
    top->add_option("NAME", a.names, "processes to show");
    Choose(top, [this](Session &session, const Output &) { return Top(session, arguments_.names); });

    auto *start = app_.add_subcommand("start", "start processes the agent knows, or define one with --command");
    start->add_option("NAME", a.names, "processes to start")->required();
    auto *args = start->add_option("--args", a.start.arguments, "text added to the command");
    start->add_option("--wait", a.start.wait, "seconds the agent watches the start before answering")
        ->check(CLI::Range(0, 3600))
        ->excludes(args);
    auto *command = start->add_option("--command", a.start.command, "define the process with this command");
    start->add_option("--host", a.start.host, "the process's host (default localhost)")->needs(command);
    start->add_flag("--managed", a.start.managed, "restart the process when it exits by itself")->needs(command);
    start->add_option("--retries", a.start.retries, "how often a managed process is restarted")
        ->check(CLI::NonNegativeNumber)
        ->needs(command);
    start->add_option("--type", a.type, "daemon, aware (reports to the agent) or plain (default)")
        ->check(CLI::IsMember({"daemon", "aware", "plain"}))
        ->needs(command);
    Choose(start, [this](Session &session, const Output &output) {
        StartOptions options = arguments_.start;
        options.type         = *TypeFromWord(arguments_.type);
        return StartProcesses(session, output, arguments_.names, options);
    });

    auto *stop = app_.add_subcommand("stop", "stop processes");
    stop->add_option("NAME", a.names, "processes to stop")->required();
    Choose(stop, [this](Session &s, const Output &o) { return StopProcesses(s, o, arguments_.names); });

    auto *restart = app_.add_subcommand("restart", "stop processes and start them again");
    restart->add_option("NAME", a.names, "processes to restart")->required();
    Choose(restart, [this](Session &s, const Output &o) { return RestartProcesses(s, o, arguments_.names); });

    auto *signal = app_.add_subcommand("signal", "send a signal to processes");
    signal->add_option("SIGNAL", a.signal, "a name (HUP, SIGTERM) or a number")->required();
    signal->add_option("NAME", a.names, "processes to signal")->required();
    Choose(signal,
           [this](Session &s, const Output &o) { return SignalProcesses(s, o, arguments_.signal, arguments_.names); });
}

void CommandLine::DefineServiceCommands()
{
    auto *service = app_.add_subcommand("service", "the agent's services");
    service->require_subcommand(1);
    Choose(
        service->add_subcommand("list", "show every service: name, type, start mode, state and members"),
        [this](Session &session, const Output &output) {
            return Ask(
                session, output, kServiceColumns, [](ac::Connection &agent, bool) { return ServiceRecords(agent); },
                Answered);
        },
        true);

    using Action = Exit (*)(Session &, const Output &, const std::string &);
    const std::pair<const char *, std::pair<const char *, Action>> actions[] = {
        {"status", {"show a service and its members", ShowService}},
        {"start", {"start a service's members in order", StartService}},
        {"stop", {"stop a service's members", StopService}},
        {"remove", {"remove a stopped service", RemoveService}},
    };
    for (const auto &[name, described] : actions) {
        auto *subcommand = service->add_subcommand(name, described.first);
        subcommand->add_option("NAME", arguments_.service, "the service")->required();
        Choose(subcommand, [this, action = described.second](Session &s, const Output &o) {
            return action(s, o, arguments_.service);
        });
    }
}

void CommandLine::DefineDeclarativeCommands()
{
    Arguments &a = arguments_;
    auto *apply  = app_.add_subcommand("apply", "make the agent's services and routes match a configuration file");
    apply->add_option("FILE", a.file, "a configuration file in the agent's format")->required();
    apply->add_flag("--prune", a.prune, "also remove the stopped services and the routes the file lacks");
    apply->add_flag("--dry-run", a.dry_run, "print the changes and make none");
    Choose(apply, [this](Session &s, const Output &o) {
        return Apply(s, o, arguments_.file, arguments_.prune, arguments_.dry_run);
    });

    auto *exporter = app_.add_subcommand("export", "write the agent's services and routes as a configuration file");
    exporter->add_option("-o,--output", a.file, "the file to write (default: standard output)");
    Choose(exporter, [this](Session &s, const Output &o) { return Export(s, o, arguments_.file); });
}

void CommandLine::DefineRouteCommands()
{
    Arguments &a = arguments_;
    auto *route  = app_.add_subcommand("route", "the agent's routing table of hosts and agent servers");
    route->require_subcommand(1);
    Choose(route->add_subcommand("list", "show every route"),
           [](Session &s, const Output &o) { return ListRoutes(s, o); });
    using Action = Exit (*)(Session &, const Output &, const ac::Route &);
    const std::pair<const char *, std::pair<const char *, Action>> actions[] = {
        {"add", {"add a route from HOST to SERVER", AddRoute}},
        {"remove", {"remove the route from HOST to SERVER", RemoveRoute}},
    };
    for (const auto &[name, described] : actions) {
        auto *subcommand = route->add_subcommand(name, described.first);
        subcommand->add_option("HOST", a.host, "the host")->required();
        subcommand->add_option("SERVER", a.server, "the agent server serving it")->required();
        Choose(subcommand, [this, action = described.second](Session &s, const Output &o) {
            return action(s, o, ac::Route{arguments_.host, arguments_.server});
        });
    }
}

void CommandLine::DefineAgentCommands()
{
    Arguments &a = arguments_;
    auto *agent  = app_.add_subcommand("agent", "the agent itself");
    agent->require_subcommand(1);
    Choose(
        agent->add_subcommand("version", "show the agent's version"),
        [this](Session &session, const Output &output) {
            return Ask(
                session, output, kVersionColumns, [](ac::Connection &c, bool) { return VersionRecords(c); }, Answered);
        },
        true);

    auto *debug = agent->add_subcommand("debug", "show the agent's debug level, or set it");
    a.debug_level_option =
        debug->add_option("LEVEL", a.debug_level, "0 errors, 1 events, 2 requests, 3 protocol detail")
            ->check(CLI::Range(0, 3));
    Choose(debug, [this](Session &s, const Output &o) {
        const bool given = arguments_.debug_level_option->count() > 0;
        return DebugLevel(s, o, given ? std::optional(arguments_.debug_level) : std::nullopt);
    });

    Choose(agent->add_subcommand("notify", "ask the agent to generate a notification"),
           [](Session &s, const Output &o) { return Notify(s, o); });
    Choose(agent->add_subcommand("whoami", "show the login's user, role and the user ids its processes may run as"),
           [](Session &s, const Output &o) { return WhoAmI(s, o); });
    Choose(agent->add_subcommand("stop-all", "stop every process the agent runs"),
           [](Session &s, const Output &o) { return StopAll(s, o); });
    Choose(agent->add_subcommand("start-all", "start every process the agent knows"),
           [](Session &s, const Output &o) { return StartAll(s, o); });
    auto *stop = agent->add_subcommand("stop", "stop the agent (its processes keep running)");
    stop->add_flag("--processes", a.stop_processes, "stop every process it runs first");
    Choose(stop, [this](Session &s, const Output &o) { return StopAgent(s, o, arguments_.stop_processes); });
}

void CommandLine::DefineFollowCommands()
{
    LogsOptions &logs = arguments_.logs;
    auto *log         = app_.add_subcommand("logs", "show a process's last lines of output, and with -f follow it");
    log->add_option("NAME", logs.name, "the process")->required();
    log->add_option("--host", logs.host, "the process's host (default: its own, as the agent lists it)");
    log->add_option("-n,--lines", logs.lines, "how many of its last lines to show first (default 10)")
        ->check(CLI::Range(0, 1000000));
    log->add_flag("-f,--follow", logs.follow, "go on showing output as it comes, until Ctrl-C");
    Choose(log, [this](Session &s, const Output &o) { return Logs(s, o, arguments_.logs); });

    WatchOptions &watch = arguments_.watch;
    auto *watcher       = app_.add_subcommand("watch", "show the agent's events as they come, until Ctrl-C");
    watcher->add_option("NAME", watch.names, "only the events of these processes or services");
    watcher->add_option("--count", watch.count, "end after this many events")->check(CLI::PositiveNumber);
    watcher->add_option("--since", watch.since, "the events after this cursor (a cursor an earlier watch showed)");
    watcher->add_option("--host", watch.host, "the events of the agent serving this host, through the routing table");
    Choose(
        watcher,
        [this](Session &s, const Output &o) {
            WatchOptions options = arguments_.watch;
            options.all          = all_;
            options.servers      = servers_;
            if (!options.host.empty() && (all_ || !servers_.empty())) {
                throw UsageError("--host names one agent; it does not go with --all or --servers");
            }
            return Watch(s, o, options);
        },
        true);
}

}  // namespace patools
