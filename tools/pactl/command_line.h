// pactl's command line: the options every command takes, its commands and theirs.
#ifndef PACTL_COMMAND_LINE_H
#define PACTL_COMMAND_LINE_H

#include "failure.h"
#include "follow_commands.h"
#include "output.h"
#include "process_commands.h"
#include "session.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace patools {

class CommandLine {
public:
    CommandLine();

    // Parses the arguments; throws CLI::ParseError (a request for help included) as CLI11
    // does, and UsageError for options the chosen command does not take.
    void Parse(int argc, char **argv);
    // Prints the help a CLI::CallForHelp asked for; the exit status.
    int Help(const CLI::Error &request) { return app_.exit(request); }

    const LoginOptions &Login() const { return login_; }
    bool AsJson() const { return json_; }
    int Verbosity() const { return verbosity_; }
    // Runs the command chosen.
    Exit Run(Session &session, const Output &output) const { return run_(session, output); }

private:
    // What the commands' own arguments are parsed into.
    struct Arguments {
        std::vector<std::string> names;
        StartOptions start;
        std::string type = "plain";
        std::string signal;
        std::string service;
        std::string host;
        std::string server;
        std::string file;
        bool prune                      = false;
        bool dry_run                    = false;
        std::int32_t debug_level        = 0;
        CLI::Option *debug_level_option = nullptr;
        bool stop_processes             = false;
        LogsOptions logs;
        WatchOptions watch;
    };
    using Command = std::function<Exit(Session &, const Output &)>;

    void DefineGlobalOptions();
    void DefineProcessCommands();
    void DefineServiceCommands();
    void DefineDeclarativeCommands();
    void DefineRouteCommands();
    void DefineAgentCommands();
    void DefineFollowCommands();
    // Makes run the command chosen when subcommand is; manyAgents when it takes --servers.
    void Choose(CLI::App *subcommand, Command run, bool many_agents = false);
    // A read-only command asked of one agent, or of many with --servers or --all.
    Exit Ask(Session &session, const Output &output, const std::vector<Column> &columns,
             const std::function<Json(agentclient::Connection &, bool many)> &question,
             const std::function<Exit(const Json &)> &judge) const;

    CLI::App app_;
    LoginOptions login_;
    std::vector<std::string> servers_;
    bool all_         = false;
    bool json_        = false;
    int verbosity_    = 0;
    int timeout_      = 30;
    bool many_agents_ = false;
    Command run_;
    Arguments arguments_;
};

}  // namespace patools

#endif  // PACTL_COMMAND_LINE_H
