// pactl end to end: the built program against real agents on loopback, each command's effect
// checked through the C++ API and on the real processes, its output parsed, its exit status
// and its one-line errors compared.
#include "pactl_run.h"
#include "support/agent_process.h"
#include "support/cpp_process.h"

#include <agentclient/agentclient.hpp>
#include <config/config_file.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <unistd.h>

namespace ac = agentclient;
using Json   = nlohmann::json;
using testing::HasSubstr;
using testing::StartsWith;

namespace {

ac::Connection Connect(const AgentProcess &agent)
{
    return ac::Connection(agent.Name(), AgentProcess::kUser, AgentProcess::kPassword);
}

std::string Describe(const std::vector<std::string> &args, const PactlRun &run)
{
    std::string text = "pactl";
    for (const std::string &arg : args) {
        text += " " + arg;
    }
    return text + "\nstdout: " + run.out + "\nstderr: " + run.err;
}

// One command, what it must exit with and print, and what it must have done.
struct Step {
    std::vector<std::string> args;
    int status;
    std::string out;                              // a piece of standard output, or for status 1, 2 and 4 of the error
    std::function<void()> effect           = {};  // checks what the command did
    std::function<void(const Json &)> json = {};  // checks the output, parsed
    std::vector<std::string> environment   = {};
};

void RunSteps(const AgentProcess &agent, const std::vector<Step> &steps)
{
    for (const Step &step : steps) {
        std::vector<std::string> environment = {"PA_SERVER=" + agent.Name()};
        environment.insert(environment.end(), step.environment.begin(), step.environment.end());
        const PactlRun run = RunPactl(step.args, environment);
        SCOPED_TRACE(Describe(step.args, run));
        ASSERT_EQ(run.status, step.status);
        if (step.status == 0 || step.status == 3) {
            EXPECT_THAT(run.out, HasSubstr(step.out));
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_THAT(run.err, StartsWith("pactl: "));
            EXPECT_THAT(run.err, HasSubstr(step.out));
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
        }
        if (step.effect) {
            step.effect();
        }
        if (step.json) {
            step.json(Json::parse(run.out));
        }
    }
}

TEST(Pactl, ProcessCommandsActOnTheAgentsRealProcesses)
{
    AgentProcess agent;
    ac::Connection api = Connect(agent);
    std::map<std::string, pid_t> pids;
    auto remember = [&](const std::string &name) {
        return [&, name] {
            const auto status = api.Status(Sleeper(name));
            EXPECT_EQ(status.state, 1);
            EXPECT_TRUE(Alive(status.pid));
            EXPECT_NE(status.pid, pids[name]);
            pids[name] = status.pid;
        };
    };
    auto ended = [&](const std::string &name) { return [&, name] { EXPECT_TRUE(Ends(pids[name])); }; };
    RunSteps(
        agent,
        {
            {{"start", "web", "--command", "exec sleep 30", "--managed", "--retries", "2"},
             0,
             "started web: running",
             remember("web")},
            {{"start", "solo", "--command", "exec sleep 30", "--type", "daemon"}, 0, "started solo", remember("solo")},
            {{"status", "web", "solo"}, 0, "web\tlocalhost\trunning\t"},
            {{"signal", "TERM", "solo"}, 0, "sent TERM to solo", ended("solo")},
            {{"start", "bad", "--command", "exit 3", "--wait", "1"}, 1, "exited with status 3"},
            {{"status", "bad"}, 3, "bad\tlocalhost\tfailed\t"},
            {{"stop", "web"}, 0, "stopped web: stopped", ended("web")},
            {{"status", "web"}, 3, "web\tlocalhost\tstopped\t0\t-\t-\t0\t-\t-\texec sleep 30\n"},
            {{"start", "web", "--wait", "1"}, 0, "started web: running", remember("web")},
            {{"restart", "web"}, 0, "restarted web: running", remember("web")},
            // Without checks a running process is ready.
            {{"status", "web"}, 0, "\tready\t"},
            // The uptime and restarts of a process that has just started.
            {{"status", "web"}, 0, "s\t0\t"},
            {{"start", "web", "--args", "-x"}, 1, "already running"},
            {{"stop", "web", "nosuch"}, 1, "knows no process nosuch", [&] { EXPECT_TRUE(Alive(pids["web"])); }},
            {{"--json", "status", "web"},
             0,
             "",
             {},
             [&](Json records) {
                 // The figures change as it runs: they are checked apart.
                 Json figures;
                 for (const char *key :
                      {"uptime_seconds", "restarts", "cpu_user_seconds", "cpu_system_seconds", "cpu_percent",
                       "memory_bytes", "threads", "descriptors", "started_at", "last_exit"}) {
                     figures[key] = records.at(0).at(key);
                     records[0].erase(key);
                 }
                 EXPECT_EQ(figures["restarts"], 0);
                 EXPECT_EQ(figures["threads"], 1);
                 EXPECT_EQ(figures["last_exit"], "signal 15");
                 EXPECT_GT(figures["memory_bytes"], 0);
                 EXPECT_GE(figures["descriptors"], 3);
                 EXPECT_GT(figures["started_at"], 1'700'000'000);
                 EXPECT_LT(figures["uptime_seconds"], 60);
                 EXPECT_LT(figures["cpu_percent"], 50);
                 EXPECT_EQ(records, Json::array({{{"name", "web"},
                                                  {"host", "localhost"},
                                                  {"state", "running"},
                                                  {"state_code", 1},
                                                  {"pid", pids["web"]},
                                                  {"command", "exec sleep 30"},
                                                  {"type", "plain"},
                                                  {"managed", true},
                                                  {"retries", 2},
                                                  {"euid", getuid()},
                                                  {"health", "ready"},
                                                  {"health_output", ""},
                                                  {"status_text", ""}}}));
             }},
        });
}

TEST(Pactl, ServiceRouteAndAgentCommands)
{
    AgentProcess agent;
    ac::Connection api = Connect(agent);
    ac::Service front{"front", ac::ServiceType::kMaster, ac::ServiceStart::kNonAuto, {}};
    front.members = {{Sleeper("fa"), std::int32_t{7}}, {Sleeper("fb"), std::string("blue")}};
    api.Add(front);
    std::vector<pid_t> members;
    auto members_run = [&] {
        EXPECT_EQ(api.Status(front), 1);
        members.clear();
        for (const ac::Member &member : front.members) {
            members.push_back(api.Status(member.process).pid);
            EXPECT_TRUE(Alive(members.back()));
        }
    };
    auto members_ended = [&] {
        for (pid_t pid : members) {
            EXPECT_TRUE(Ends(pid));
        }
    };
    const ac::Route route{"node1", "OTHER"};
    RunSteps(
        agent,
        {
            {{"service", "list"}, 0, "front\tmaster\tmanual\tstopped\tfa,fb\n"},
            {{"service", "start", "front"}, 0, "started service front: running", members_run},
            {{"service", "status", "front"}, 0, "fb\tlocalhost\trunning\t"},
            {{"--json", "service", "status", "front"},
             0,
             "",
             {},
             [&](const Json &records) {
                 ASSERT_EQ(records.size(), 1u);
                 EXPECT_EQ(records[0]["type"], "master");
                 EXPECT_EQ(records[0]["start"], "manual");
                 EXPECT_EQ(records[0]["state"], "running");
                 EXPECT_EQ(records[0]["state_code"], 1);
                 ASSERT_EQ(records[0]["members"].size(), 2u);
                 EXPECT_EQ(records[0]["members"][0]["value"], 7);
                 EXPECT_EQ(records[0]["members"][1]["value"], "blue");
                 EXPECT_EQ(records[0]["members"][1]["pid"], members[1]);
             }},
            {{"service", "stop", "front"}, 0, "stopped service front: stopped", members_ended},
            {{"service", "remove", "front"}, 0, "removed service front", [&] { EXPECT_TRUE(api.Services().empty()); }},
            {{"service", "start", "front"}, 1, "knows no service front"},
            {{"route", "add", "node1", "OTHER"},
             0,
             "added route node1 to OTHER",
             [&] { EXPECT_EQ(api.Routes(), std::vector{route}); }},
            {{"route", "list"}, 0, "node1\tOTHER\n"},
            {{"route", "remove", "node1", "OTHER"}, 0, "removed", [&] { EXPECT_TRUE(api.Routes().empty()); }},
            {{"route", "remove", "node1", "OTHER"}, 1, "no route node1 to OTHER"},
            {{"agent", "version"}, 0, agent.Name() + "\t3.1\n"},
            {{"agent", "whoami"}, 0, "user operator, role admin, uids any\n"},
            {{"--json", "agent", "whoami"},
             0,
             "",
             {},
             [](const Json &login) {
                 EXPECT_EQ(login, Json({{"user", "operator"}, {"role", "admin"}, {"uids", "any"}}));
             }},
            {{"agent", "debug", "3"}, 0, "debug level 3", [&] { EXPECT_EQ(api.DebugLevel(), 3); }},
            {{"agent", "notify"}, 0, "generated a notification"},
            {{"start", "solo", "--command", "exec sleep 30"},
             0,
             "running",
             [&] { members = {api.Status(Sleeper("solo")).pid}; }},
            {{"agent", "stop-all"}, 0, "stopped every process", members_ended},
            {{"agent", "start-all"},
             0,
             "started every process",
             [&] {
                 members = {api.Status(Sleeper("solo")).pid};
                 EXPECT_TRUE(Alive(members[0]));
             }},
            {{"agent", "stop", "--processes"},
             0,
             "stopping",
             [&] {
                 EXPECT_TRUE(agent.WaitForExit(std::chrono::seconds(10)).has_value());
                 members_ended();
             }},
        });
}

// A file the agent writes, whole; the test fails when it cannot.
std::filesystem::path Written(const AgentProcess &agent, const std::string &name, const std::string &text)
{
    const auto path = agent.Home() / name;
    std::ofstream(path) << text;
    return path;
}

TEST(Pactl, BadInputGivesOneLineAndItsStatus)
{
    AgentProcess agent;
    const auto bad_file = Written(agent, "bad.cfg", "#ZEB_PA3\nzeb_service {\n");
    const auto password = Written(agent, "password", std::string(AgentProcess::kPassword) + "\n");
    // The agent's home doubles as a family home whose interfaces file names two servers.
    Written(agent, "interfaces", "A\n\tquery tcp 5.0 127.0.0.1 1\nB\n\tquery tcp 5.0 127.0.0.1 2\n");
    // A family home whose interfaces file names only the agent: no server name is needed.
    const auto single = agent.Home() / "family";
    std::filesystem::create_directories(single);
    std::ofstream(single / "interfaces") << agent.Name() << "\n\tquery tcp 5.0 127.0.0.1 " << agent.Port() << "\n";
    std::filesystem::copy_file(FamilyHome() / "freetds.conf", single / "freetds.conf");
    RunSteps(
        agent,
        {
            {{"top"}, 2, "standard output is none"},
            {{"frob"}, 2, "unknown command frob"},
            {{"status", "--bogus"}, 2, "--bogus"},
            {{"signal", "NOSIG", "web"}, 2, "unknown signal NOSIG"},
            {{"signal", "0", "web"}, 2, "unknown signal 0"},
            {{"start", "a", "b", "--command", "true"}, 2, "one process"},
            {{"start", "a", "--host", "h"}, 2, "--command"},
            {{"--servers", "A,B", "route", "list"}, 2, "--servers"},
            {{"--timeout", "0", "status"}, 2, "--timeout"},
            {{"--password-file", "/nonexistent", "status"}, 2, "cannot read a password from /nonexistent"},
            {{"apply", "/nonexistent.cfg"}, 2, "cannot read /nonexistent.cfg"},
            {{"apply", bad_file.string()}, 2, bad_file.string() + ": line "},
            {{"status", "nosuch"}, 1, "knows no process nosuch"},
            {{"status"}, 1, "Login failed", {}, {}, {"PA_PASSWORD=wrong"}},
            {{"status"}, 1, "Login failed", {}, {}, {"PA_USER=nobody"}},
            {{"--password-file", password.string(), "status"}, 0, "", {}, {}, {"PA_PASSWORD=wrong"}},
            {{"-S", "NO_SUCH_AGENT", "status"}, 4, "cannot connect to NO_SUCH_AGENT"},
            {{"status"}, 2, "lists 2 servers", {}, {}, {"PA_SERVER=", "VTHOME=" + agent.Home().string()}},
            {{"agent", "version"}, 0, agent.Name() + "\t3.1\n", {}, {}, {"PA_SERVER=", "VTHOME=" + single.string()}},
        });

    // An agent that accepts connections but answers nothing costs the time-out, no more.
    kill(agent.Pid(), SIGSTOP);
    RunSteps(agent,
             {{{"--timeout", "1", "agent", "version"}, 4, "no answer from " + agent.Name() + " within 1 second"}});
    kill(agent.Pid(), SIGCONT);
}

// Services and routes with what the configuration file can hold: member values of every kind,
// messages, and texts with apostrophes.
void Define(ac::Connection &api)
{
    ac::Service front{"front", ac::ServiceType::kMaster, ac::ServiceStart::kAuto, {}};
    front.members                    = {{Sleeper("fa"), std::int32_t{-3}}, {Sleeper("fb"), std::string("it's blue")}};
    front.members[0].process.managed = true;
    front.members[0].process.retry_count     = 2;
    front.members[0].process.restart_message = "fa's back";
    ac::Service back{"back", ac::ServiceType::kNonMaster, ac::ServiceStart::kNonAuto, {{Sleeper("ba"), {}}}};
    api.Add(front);
    api.Add(back);
    api.Add(ac::Route{"node1", "PA_ONE"});
    api.Add(ac::Route{"node2", "PA_TWO"});
}

// The agent's services as definitions: without the PIDs of their running members.
std::vector<ac::Service> Definitions(ac::Connection &api)
{
    std::vector<ac::Service> services = api.Services();
    for (ac::Service &service : services) {
        for (ac::Member &member : service.members) {
            member.process.pid = 0;
        }
    }
    return services;
}

TEST(Pactl, ExportThenApplyReproducesAnAgent)
{
    AgentProcess source, target;
    ac::Connection from = Connect(source), to = Connect(target);
    Define(from);
    const auto file = source.Home() / "exported.cfg";
    RunSteps(source, {
                         {{"export", "-o", file.string()}, 0, ""},
                         {{"-S", target.Name(), "apply", "--dry-run", file.string()},
                          0,
                          "add service front\nadd service back\n",
                          [&] { EXPECT_TRUE(to.Services().empty()); }},
                         {{"-S", target.Name(), "apply", file.string()},
                          0,
                          "added route node2 to PA_TWO",
                          [&] {
                              EXPECT_EQ(Definitions(to), Definitions(from));
                              EXPECT_EQ(to.Routes(), from.Routes());
                          }},
                         {{"-S", target.Name(), "apply", file.string()}, 0, "already matches"},
                     });

    // The file now differs: front's command changed and back's, a route and a service gone.
    std::vector<ac::Service> wanted      = Definitions(from);
    wanted[0].members[1].process.command = "exec sleep 29";
    wanted[1].members[0].process.command = "exec sleep 28";
    agentclient::config::SaveConfig(file, {{wanted[0], wanted[1]}, {ac::Route{"node1", "PA_ONE"}}});
    to.Add(ac::Service{"extra", ac::ServiceType::kNonMaster, ac::ServiceStart::kNonAuto, {{Sleeper("xa"), {}}}});
    const ac::Service back_before = Definitions(to)[1];
    to.Start(back_before);  // back runs, with the definition the file no longer has
    RunSteps(target,
             {
                 {{"--json", "apply", "--prune", file.string()},
                  0,
                  "",
                  [&] {
                      const std::vector<ac::Service> now = Definitions(to);
                      ASSERT_EQ(now.size(), 2u);
                      EXPECT_EQ(now[0], wanted[0]);
                      EXPECT_EQ(now[1], back_before);
                      EXPECT_EQ(to.Routes(), std::vector<ac::Route>({{"node1", "PA_ONE"}}));
                  },
                  [](const Json &steps) {
                      ASSERT_EQ(steps.size(), 4u);
                      EXPECT_EQ(steps[0],
                                Json({{"action", "remove"}, {"kind", "service"}, {"name", "extra"}, {"done", true}}));
                      EXPECT_EQ(steps[1],
                                Json({{"action", "change"}, {"kind", "service"}, {"name", "front"}, {"done", true}}));
                      EXPECT_EQ(steps[2]["action"], "leave");
                      EXPECT_EQ(steps[2]["done"], false);
                      EXPECT_THAT(steps[2]["reason"].get<std::string>(), HasSubstr("running"));
                      EXPECT_EQ(steps[3], Json({{"action", "remove"},
                                                {"kind", "route"},
                                                {"host", "node2"},
                                                {"server", "PA_TWO"},
                                                {"done", true}}));
                  }},
             });
    to.StopAllProcesses();
}

TEST(Pactl, ManyAgentsAnswerTogetherAndOneDownIsOneRow)
{
    AgentProcess first, second;
    ac::Connection api = Connect(first), other = Connect(second);
    api.Add(ac::Route{"node2", second.Name()});
    other.Start(Sleeper("far"));
    const std::string servers = first.Name() + ",NO_SUCH_AGENT," + second.Name();
    RunSteps(first,
             {
                 {{"--all", "--json", "agent", "version"},
                  0,
                  "",
                  {},
                  [&](const Json &records) {
                      EXPECT_EQ(
                          records,
                          Json::array({{{"server", first.Name()}, {"version", "3.1"}, {"major", 3}, {"minor", 1}},
                                       {{"server", second.Name()}, {"version", "3.1"}, {"major", 3}, {"minor", 1}}}));
                  }},
                 {{"--servers", servers, "--json", "status"},
                  0,
                  "",
                  {},
                  [&](const Json &records) {
                      ASSERT_EQ(records.size(), 2u);
                      EXPECT_EQ(records[0]["server"], "NO_SUCH_AGENT");
                      EXPECT_THAT(records[0]["error"].get<std::string>(), HasSubstr("cannot connect"));
                      EXPECT_EQ(records[1]["server"], second.Name());
                      EXPECT_EQ(records[1]["name"], "far");
                      EXPECT_EQ(records[1]["state"], "running");
                  }},
                 {{"--servers", servers, "status", "far"}, 0, second.Name() + "\tfar\tlocalhost\trunning\t"},
                 {{"--servers", servers, "status", "far", "near"}, 3, "NO_SUCH_AGENT\tcannot connect"},
                 {{"--servers", servers, "service", "list"}, 0, "NO_SUCH_AGENT\tcannot connect"},
                 {{"--servers", "NO_SUCH_AGENT,NOR_THIS", "agent", "version"}, 4, "none of the 2 agents answered"},
             });

    // An agent that answers nothing is a row of its own, within the time-out.
    kill(second.Pid(), SIGSTOP);
    RunSteps(first, {{{"--timeout", "1", "--servers", first.Name() + "," + second.Name(), "agent", "version"},
                      0,
                      second.Name() + "\tno answer from " + second.Name() + " within 1 second\n"}});
    kill(second.Pid(), SIGCONT);
    other.StopAllProcesses();
}

// The JSON Lines of a run, one object each, their keys in the order written.
std::vector<nlohmann::ordered_json> JsonLines(const std::string &out)
{
    std::vector<nlohmann::ordered_json> lines;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(nlohmann::ordered_json::parse(line));
    }
    return lines;
}

TEST(Pactl, LogsAndWatchShowWhatProcessesWroteAndWhatHappened)
{
    AgentProcess agent;
    ac::Connection api     = Connect(agent);
    ac::Process talker     = Sleeper("talker");
    talker.command         = "printf 'one\\ntwo\\nthree\\n'; exec sleep 600";
    const std::string said = "one\ntwo\nthree\n";
    api.Start(talker);
    std::string written;
    for (std::int64_t cursor = 0; written.size() < said.size();) {
        const ac::Output read = api.ReadOutput(talker, cursor, 0, std::chrono::seconds(5));
        ASSERT_FALSE(read.data.empty());
        written += read.data;
        cursor = read.cursor;
    }
    const std::vector<std::string> server = {"PA_SERVER=" + agent.Name()};

    PactlRun run = RunPactl({"logs", "talker", "-n", "2"}, server);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "two\nthree\n");
    run = RunPactl({"--json", "logs", "talker", "-n", "1"}, server);
    EXPECT_EQ(run.out, R"({"process":"talker","host":"localhost","cursor":14,"line":"three"})"
                       "\n");
    run = RunPactl({"logs", "ghost"}, server);
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("unknown process ghost"));
    // Ctrl-C ends a follow cleanly, within the bound, with what came before it.
    run = RunPactl({"logs", "-f", "talker"}, server, std::chrono::seconds(20), "three\n");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, said);

    const std::int64_t before = api.WaitEvents(-1, std::chrono::seconds(0)).cursor;
    api.Stop(talker);
    run = RunPactl({"--json", "watch", "--count", "3", "--since", std::to_string(before), "talker"}, server);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<nlohmann::ordered_json> events = JsonLines(run.out);
    ASSERT_EQ(events.size(), 3u) << run.out;
    const char *const kinds[] = {"stopping", "exited", "stopped"};
    for (std::size_t i = 0; i < events.size(); ++i) {
        const nlohmann::ordered_json &event = events[i];
        std::vector<std::string> keys;
        for (const auto &item : event.items()) {
            keys.push_back(item.key());
        }
        EXPECT_THAT(keys, testing::ElementsAre("cursor", "time", "kind", "process", "service", "host", "pid", "status",
                                               "signal", "message", "user", "lost"));
        EXPECT_EQ(event["cursor"], before + 1 + static_cast<std::int64_t>(i));
        EXPECT_EQ(event["kind"], kinds[i]);
        EXPECT_EQ(event["process"], "talker");
        EXPECT_EQ(event["user"], AgentProcess::kUser);
        EXPECT_TRUE(event["service"].is_null());
        EXPECT_EQ(event["signal"], i == 1 ? nlohmann::ordered_json(SIGTERM) : nlohmann::ordered_json(nullptr));
        EXPECT_THAT(event["time"].get<std::string>(), testing::MatchesRegex("....-..-..T..:..:..\\....Z"));
    }
    run = RunPactl({"watch", "--count", "1", "--since", std::to_string(before)}, server);
    EXPECT_THAT(run.out, HasSubstr(" stopping talker on localhost pid "));
    EXPECT_THAT(run.out, HasSubstr(" (by " + std::string(AgentProcess::kUser) + ")\n"));
}

}  // namespace
