// Saving the definitions: a slow save holds up no other request, changes reach the file in the
// order they are made, and a change whose save fails changes nothing.
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>

#include "agent_fixture.h"

namespace {

using namespace paagent;
using namespace paagent::testing;

// A save that blocks the first time until released, recording what every save was given.
class HeldSave {
public:
    void operator()(const Definitions &definitions)
    {
        std::unique_lock lock(mutex_);
        saved_.push_back(definitions);
        changed_.notify_all();
        changed_.wait_for(lock, kWaitLimit, [this] { return released_; });
    }
    bool wait_until_entered()
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWaitLimit, [this] { return !saved_.empty(); });
    }
    void release()
    {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    std::vector<std::vector<std::string>> saved_service_names()
    {
        std::lock_guard lock(mutex_);
        std::vector<std::vector<std::string>> names;
        for (const auto &definitions : saved_) {
            names.emplace_back();
            for (const auto &service : definitions.services)
                names.back().push_back(service.name);
        }
        return names;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Definitions> saved_;
    bool released_ = false;
};

TEST(AgentPersist, ASlowSaveHoldsUpNoOtherRequestAndChangesAreSavedInOrder)
{
    TempDir home;
    auto save            = std::make_shared<HeldSave>();
    AgentOptions options = OptionsLoggingTo(home.path());
    options.persist      = [save](const Definitions &definitions) { (*save)(definitions); };
    Agent agent(std::move(options));

    auto first = std::async(std::launch::async,
                            [&] { agent.add_service(MakeService("first", {MakeProcess("a", "exec sleep 1000")})); });
    ASSERT_TRUE(save->wait_until_entered());
    auto second       = std::async(std::launch::async, [&] { agent.add_service(MakeService("second", {})); });
    auto status       = std::async(std::launch::async, [&] {
        agent.start_process(MakeProcess("solo", "exit 0"), 0);
        return agent.processes(false).size();
    });
    const bool served = status.wait_for(kWaitLimit) == std::future_status::ready;
    save->release();
    EXPECT_TRUE(served) << "a request waited for another one's save";
    first.get();
    second.get();
    using Names = std::vector<std::vector<std::string>>;
    EXPECT_EQ(save->saved_service_names(), (Names{{"first"}, {"first", "second"}}));
}

struct FailedSaveCase {
    const char *what;
    std::function<void(Agent &)> change;
};

TEST(AgentPersist, AChangeWhoseSaveFailsChangesNothing)
{
    const ProcessSpec worker                = MakeProcess("worker", "exec sleep 1000");
    ProcessSpec changed                     = worker;
    changed.command                         = "exec sleep 999";
    const ServiceSpec service               = MakeService("kept", {worker});
    const std::vector<FailedSaveCase> cases = {
        {"add a service with a new member",
         [](Agent &agent) { agent.add_service(MakeService("new", {MakeProcess("newcomer", "exec sleep 1000")})); }},
        {"change a service's member",
         [&](Agent &agent) { agent.change_service("kept", MakeService("kept", {changed})); }},
        {"start a service under another definition",
         [&](Agent &agent) { agent.start_service(MakeService("kept", {changed})); }},
        {"remove a service", [](Agent &agent) { agent.remove_service("kept"); }},
        {"add a route",
         [](Agent &agent) {
             agent.add_route({"host", "SERVER"});
         }},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.what);
        TempDir home;
        bool failing         = false;
        AgentOptions options = OptionsLoggingTo(home.path());
        options.persist      = [&failing](const Definitions &) {
            if (failing)
                throw std::runtime_error("disk full");
        };
        Agent agent(std::move(options));
        agent.add_service(service);
        const auto services  = agent.services(false);
        const auto processes = agent.processes(false);

        failing = true;
        EXPECT_THROW(test.change(agent), AgentError);
        EXPECT_EQ(agent.services(false), services);
        EXPECT_EQ(agent.routes(0), std::vector<Route>{});
        ASSERT_EQ(agent.processes(false).size(), processes.size());
        for (std::size_t i = 0; i < processes.size(); ++i)
            EXPECT_EQ(agent.processes(false)[i].definition, processes[i].definition);
        EXPECT_TRUE(agent.processes(true).empty()) << "a process started although its definition was not saved";
    }
}

}  // namespace
