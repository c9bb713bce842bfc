// The audit trail of an agent: each request that changes something leaves one line in its log at
// the default verbosity, naming who asked, from where, with which program, for what, and the
// outcome; a read leaves none.
#include "support/agent_process.h"
#include "support/client.h"
#include "support/cpp_process.h"

#include <agentclient/agentclient.hpp>
#include <protocol/events.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <variant>

namespace ac = agentclient;
using testing::HasSubstr;

namespace {

struct Request {
    const char *rule;
    ac::Connection *client;
    std::function<void(ac::Connection &)> call;
    std::string line;  // what follows "audit: "; empty when the request leaves none
};

TEST(Audit, EachChangeLeavesOneLineAndAReadNone)
{
    const std::string users = std::string("opal:") + AgentProcess::kPasswordHash +
                              ":operate\nreader:" + AgentProcess::kPasswordHash + ":read\n";
    AgentProcess agent(std::nullopt, {}, {}, users);
    ac::Connection admin(agent.Name(), AgentProcess::kUser, AgentProcess::kPassword);
    ac::Options options;
    options.application = "audit-test";
    ac::Connection opal(agent.Name(), "opal", AgentProcess::kPassword, options);
    ac::Connection reader(agent.Name(), "reader", AgentProcess::kPassword, options);
    const ac::Process web = Sleeper("web");
    admin.Add(
        ac::Service{"defined", ac::ServiceType::kNonMaster, ac::ServiceStart::kNonAuto, {{web, std::monostate{}}}});
    admin.Start(web);
    const std::int64_t cursor = admin.WaitEvents(-1, std::chrono::seconds(0)).cursor;

    const std::string of_web = ": stop processes: process web of host localhost: ";
    const Request requests[] = {
        {"a read is not audited", &reader, [&](ac::Connection &c) { c.Status(web); }, ""},
        {"a refused change", &reader, [&](ac::Connection &c) { EXPECT_ANY_THROW(c.Stop(web)); },
         "user reader from 127.0.0.1, application audit-test" + of_web +
             "refused: user reader (read) may not stop processes"},
        {"a change done", &opal, [&](ac::Connection &c) { c.Stop(web); },
         "user opal from 127.0.0.1, application audit-test" + of_web + "done"},
    };
    // A read's line would come before the next change's, which is awaited.
    std::size_t before = agent.Errors().size();
    for (const Request &request : requests) {
        SCOPED_TRACE(request.rule);
        request.call(*request.client);
        if (request.line.empty()) {
            continue;
        }
        ASSERT_TRUE(Eventually([&] {
            const std::string log = agent.Errors();
            const std::size_t at  = log.find("audit: ", before);
            return at != std::string::npos && log.find('\n', at) != std::string::npos;
        }));
        const std::string logged = agent.Errors().substr(before);
        EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 1) << logged;
        EXPECT_THAT(logged, HasSubstr("paagentd: audit: " + request.line + "\n"));
        before += logged.size();
    }

    // The events of the stop name its user.
    std::vector<std::string> users_of_stop;
    for (std::int64_t at = cursor; users_of_stop.size() < 3;) {
        const ac::EventBatch batch = admin.WaitEvents(at, std::chrono::seconds(5));
        ASSERT_FALSE(batch.events.empty());
        for (const ac::Event &event : batch.events) {
            users_of_stop.push_back(event.user.value_or("none"));
        }
        at = batch.cursor;
    }
    EXPECT_THAT(users_of_stop, testing::Each(std::string("opal")));
}

}  // namespace
