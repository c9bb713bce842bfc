// What each role may do, against a real agent: one row per rule, each request done or refused
// with the agent's reason.
#include "support/agent_process.h"
#include "support/cpp_process.h"

#include <agentclient/agentclient.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <unistd.h>

namespace ac = agentclient;
using testing::HasSubstr;

namespace {

struct Cell {
    const char *rule;
    std::string user;
    std::function<void(ac::Connection &)> request;
    std::string refusal;  // empty when the request is done
};

TEST(Roles, EachRoleIsAllowedItsRequestsAndRefusedTheRest)
{
    const std::string mine   = std::to_string(getuid());
    const std::int32_t other = static_cast<std::int32_t>(getuid()) + 1;
    const std::string hash   = AgentProcess::kPasswordHash;
    const std::string users  = "reader:" + hash + ":read\nopal:" + hash + ":operate\noscar:" + hash +
                              ":operate:" + mine + "\nada:" + hash + ":admin:" + mine + "-" + mine + "\n";
    AgentProcess agent(std::nullopt, {}, {}, users);
    std::map<std::string, ac::Connection> connections;
    auto as = [&](const std::string &user) -> ac::Connection & {
        if (!connections.contains(user)) {
            connections.emplace(user, ac::Connection(agent.Name(), user, AgentProcess::kPassword));
        }
        return connections.at(user);
    };

    // The admin of the line without a role defines web, and foreign to run as another user.
    const ac::Process web = Sleeper("web");
    ac::Process foreign   = Sleeper("foreign");
    foreign.euid          = other;
    as(AgentProcess::kUser)
        .Add(ac::Service{"defined",
                         ac::ServiceType::kNonMaster,
                         ac::ServiceStart::kNonAuto,
                         {{web, std::monostate{}}, {foreign, std::monostate{}}}});
    ac::Process moved  = web;
    moved.command      = "exec sleep 31";
    ac::Process rooted = web;
    rooted.euid        = other;
    const ac::Route route{"node9", "PA_NINE"};
    const std::string no_root = "may not run processes as user " + std::to_string(other);

    const Cell cells[] = {
        {"read looks", "reader", [](ac::Connection &c) { c.Processes(); }, ""},
        {"read does not stop", "reader", [&](ac::Connection &c) { c.Stop(web); },
         "user reader (read) may not stop processes"},
        {"operate does not change the command", "opal", [&](ac::Connection &c) { c.Start(moved); },
         "user opal (operate) may only start process web as it is defined: its command differs"},
        {"operate does not change the run-as user", "opal", [&](ac::Connection &c) { c.Start(rooted); },
         "user opal (operate) may only start process web as it is defined: its run-as user differs"},
        {"operate adds no arguments", "opal", [&](ac::Connection &c) { c.StartWithArgs(web, "-v"); },
         "user opal (operate) may not start processes with added arguments"},
        {"operate defines nothing", "opal", [](ac::Connection &c) { c.Start(Sleeper("new")); },
         "user opal (operate) may not define processes: process new is not defined"},
        {"operate does not route", "opal", [&](ac::Connection &c) { c.Add(route); },
         "user opal (operate) may not change routes"},
        {"operate uids hold for definitions", "oscar", [&](ac::Connection &c) { c.Start(foreign); }, no_root},
        {"operate starts as defined", "oscar", [&](ac::Connection &c) { c.Start(web); }, ""},
        {"operate stops", "oscar", [&](ac::Connection &c) { c.Stop(web); }, ""},
        {"admin uids hold", "ada", [&](ac::Connection &c) { c.Change("web", rooted); }, no_root},
        {"admin defines within its uids", "ada", [](ac::Connection &c) { c.Start(Sleeper("own")); }, ""},
        {"no role is admin", AgentProcess::kUser, [&](ac::Connection &c) { c.Add(route); }, ""},
    };
    for (const Cell &cell : cells) {
        SCOPED_TRACE(cell.rule);
        if (cell.refusal.empty()) {
            EXPECT_NO_THROW(cell.request(as(cell.user)));
        } else {
            EXPECT_THAT(Refusal([&] { cell.request(as(cell.user)); }).AgentText(), HasSubstr(cell.refusal));
        }
    }
    if (geteuid() == 0) {
        EXPECT_THAT(agent.Errors(), HasSubstr("logins may run processes as root: ada, opal, operator, oscar;"));
    }
}

// Each login reads back its own user, role and uids, the uids in their one written form
// whatever form the users file gave them in.
TEST(Roles, EachLoginReadsBackWhoItIs)
{
    const std::string hash = AgentProcess::kPasswordHash;
    const std::string users =
        "reader:" + hash + ":read\noscar:" + hash + ":operate:2000-2999,1000\nada:" + hash + ":admin:root,7-7\n";
    AgentProcess agent(std::nullopt, {}, {}, users);
    const ac::Login logins[] = {
        {"reader", "read", "any"},
        {"oscar", "operate", "2000-2999,1000"},
        {"ada", "admin", "0,7"},
        {AgentProcess::kUser, "admin", "any"},
    };
    for (const ac::Login &login : logins) {
        SCOPED_TRACE(login.user);
        EXPECT_EQ(ac::Connection(agent.Name(), login.user, AgentProcess::kPassword).WhoAmI(), login);
    }
}

}  // namespace
