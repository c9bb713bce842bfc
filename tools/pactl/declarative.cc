#include "declarative.h"

#include "configuration.h"
#include "service_commands.h"

#include <algorithm>
#include <config/atomic_file.h>
#include <iostream>
#include <sstream>
#include <variant>

namespace patools {

namespace ac     = agentclient;
namespace config = agentclient::config;

namespace {

// The agent's state number for a service none of whose members runs.
constexpr std::int32_t kStopped = 0;

// One change that brings the agent closer to the file, or a service left as it is.
struct Step {
    enum class Action {
        kAdd,
        kChange,
        kRemove,
        kLeave,
    };
    Action action;
    std::variant<ac::Service, ac::Route> subject;
    std::string reason;  // why a service is left
};

// What the agent holds now: its services, each with its state, and its routes.
struct AgentDefinitions {
    std::vector<std::pair<ac::Service, std::int32_t>> services;
    std::vector<ac::Route> routes;
};

AgentDefinitions ReadAgent(ac::Connection &agent)
{
    AgentDefinitions now;
    for (ac::Service &service : agent.Services()) {
        // Members as the agent lists them carry their PIDs, which are no part of a definition.
        for (ac::Member &member : service.members) {
            member.process.pid = 0;
        }
        const std::int32_t state = agent.Status(service);
        now.services.emplace_back(std::move(service), state);
    }
    now.routes = agent.Routes();
    return now;
}

const ac::Service *Named(const std::vector<ac::Service> &services, const std::string &name)
{
    auto found = std::find_if(services.begin(), services.end(), [&](const ac::Service &s) { return s.name == name; });
    return found != services.end() ? &*found : nullptr;
}

bool Holds(const std::vector<ac::Route> &routes, const ac::Route &route)
{
    return std::find(routes.begin(), routes.end(), route) != routes.end();
}

// A step on a service the agent holds: made when the service is stopped, else left.
Step OnStopped(Step::Action action, const ac::Service &service, std::int32_t state, const std::string &why)
{
    if (state == kStopped) {
        return {action, service, {}};
    }
    return {Step::Action::kLeave, service, ServiceStateWord(state) + ", " + why + "; stop it and apply again"};
}

// Services removed (with prune), changed, added; then routes removed (with prune) and added.
std::vector<Step> Plan(const config::Definitions &wanted, const AgentDefinitions &current, bool prune)
{
    std::vector<Step> removals, changes, additions;
    std::vector<ac::Service> held;
    for (const auto &[service, state] : current.services) {
        held.push_back(service);
        const ac::Service *want = Named(wanted.services, service.name);
        if (want == nullptr && prune) {
            removals.push_back(OnStopped(Step::Action::kRemove, service, state, "not in the file"));
        } else if (want != nullptr && !(*want == service)) {
            changes.push_back(OnStopped(Step::Action::kChange, *want, state, "differs from the file"));
        }
    }
    for (const ac::Service &service : wanted.services) {
        if (Named(held, service.name) == nullptr) {
            additions.push_back({Step::Action::kAdd, service, {}});
        }
    }
    std::vector<Step> steps = std::move(removals);
    steps.insert(steps.end(), changes.begin(), changes.end());
    steps.insert(steps.end(), additions.begin(), additions.end());
    for (const ac::Route &route : current.routes) {
        if (prune && !Holds(wanted.routes, route)) {
            steps.push_back({Step::Action::kRemove, route, {}});
        }
    }
    for (const ac::Route &route : wanted.routes) {
        if (!Holds(current.routes, route)) {
            steps.push_back({Step::Action::kAdd, route, {}});
        }
    }
    return steps;
}

void Make(ac::Connection &agent, const Step &step)
{
    if (const auto *service = std::get_if<ac::Service>(&step.subject)) {
        switch (step.action) {
        case Step::Action::kAdd: agent.Add(*service); break;
        case Step::Action::kChange: agent.Change(service->name, *service); break;
        case Step::Action::kRemove: agent.Remove(*service); break;
        case Step::Action::kLeave: break;
        }
        return;
    }
    const auto &route = std::get<ac::Route>(step.subject);
    if (step.action == Step::Action::kAdd) {
        agent.Add(route);
    } else {
        agent.Remove(route);
    }
}

// "add service web", or when made "added service web"; "leave service web: running, ...".
Outcome Describe(const Step &step, bool made)
{
    static const char *const kPlans[] = {"add", "change", "remove", "leave"};
    static const char *const kDones[] = {"added", "changed", "removed", "left"};
    const auto index                  = static_cast<std::size_t>(step.action);
    Json record                       = {{"action", kPlans[index]}};
    std::string what;
    if (const auto *service = std::get_if<ac::Service>(&step.subject)) {
        record.update({{"kind", "service"}, {"name", service->name}});
        what = "service " + service->name;
    } else {
        const auto &route = std::get<ac::Route>(step.subject);
        record.update({{"kind", "route"}, {"host", route.host}, {"server", route.server}});
        what = "route " + route.host + " to " + route.server;
    }
    const bool leave = step.action == Step::Action::kLeave;
    record["done"]   = made && !leave;
    if (leave) {
        record["reason"] = step.reason;
    }
    return {std::string(made ? kDones[index] : kPlans[index]) + " " + what + (leave ? ": " + step.reason : ""),
            std::move(record)};
}

// Makes each step in turn; a failure ends the command once what was made before it has been
// reported.
void MakeAll(ac::Connection &agent, const Output &output, const std::vector<Step> &steps)
{
    std::vector<Outcome> outcomes;
    for (const Step &step : steps) {
        try {
            Make(agent, step);
        } catch (...) {
            output.Outcomes(outcomes);
            throw;
        }
        outcomes.push_back(Describe(step, true));
    }
    output.Outcomes(outcomes);
}

// Writes text to file, replaced only once written whole, or to standard output when file is empty.
void WriteText(const std::string &text, const std::filesystem::path &file)
{
    if (!file.empty()) {
        config::ReplaceFile(file, text, config::Durability::kSystemCrash);
        return;
    }
    if (!(std::cout << text << std::flush)) {
        throw Failure(Exit::kFailed, "cannot write to standard output");
    }
}

}  // namespace

Exit Apply(Session &session, const Output &output, const std::filesystem::path &file, bool prune, bool dry_run)
{
    const config::Definitions wanted = ReadConfiguration(file);
    ac::Connection &agent            = session.Agent();
    const std::vector<Step> steps    = Plan(wanted, ReadAgent(agent), prune);
    if (steps.empty() && !output.AsJson()) {
        output.Outcomes({{agent.Server() + " already matches " + file.string(), {}}});
        return Exit::kDone;
    }
    if (dry_run) {
        std::vector<Outcome> plan;
        std::transform(steps.begin(), steps.end(), std::back_inserter(plan),
                       [](const Step &step) { return Describe(step, false); });
        output.Outcomes(plan);
        return Exit::kDone;
    }
    MakeAll(agent, output, steps);
    return Exit::kDone;
}

Exit Export(Session &session, const Output &output, const std::filesystem::path &file)
{
    ac::Connection &agent = session.Agent();
    if (!output.AsJson()) {
        WriteText(config::FormatConfig({agent.Services(), agent.Routes()}), file);
        return Exit::kDone;
    }
    std::ostringstream json;
    Output(json, Output::Style::kDocument, false)
        .Document({{"services", ServiceRecords(agent)}, {"routes", RouteRecords(agent.Routes())}});
    WriteText(json.str(), file);
    return Exit::kDone;
}

}  // namespace patools
