#include "agents.h"

#include <errors.h>

#include <protocol/events.h>

#include <algorithm>
#include <iostream>

namespace paexporter {

namespace ac = agentclient;

namespace {

// How often the routing table is read again for agents that came or went.
constexpr auto kRefreshEvery = std::chrono::seconds(30);
// How long a follower waits before it logs in again to an agent it lost, and how soon a routing
// table that could not be read is tried again.
constexpr auto kFollowAgain = std::chrono::seconds(2);
constexpr auto kReadAgain   = kFollowAgain;

patools::Json EventRecord(const std::string &server, const ac::Event &event)
{
    return {{"server", server},
            {"kind", pa::protocol::EventKindName(static_cast<std::int32_t>(event.kind))},
            {"process", event.process.value_or("")},
            {"host", event.host.value_or("")},
            {"service", event.service.value_or("")},
            {"time_ms", event.time_ms}};
}

}  // namespace

// Follows one agent's events on a thread of its own, logging in again whenever it loses it.
class Agents::Follower {
public:
    Follower(Agents &agents, std::string server)
        : thread_([this, &agents, server = std::move(server)](std::stop_token stop) { Run(agents, server, stop); })
    {
    }
    // Abandons the call under way, so that the thread ends within about a second.
    ~Follower()
    {
        thread_.request_stop();
        std::lock_guard lock(mutex_);
        if (active_ != nullptr) {
            active_->Abandon();
        }
    }

private:
    void Run(Agents &agents, const std::string &server, std::stop_token stop)
    {
        std::mutex idle;
        std::condition_variable_any woken;
        while (!stop.stop_requested()) {
            try {
                ac::Connection agent = patools::Connect(server, agents.credentials_);
                Follow(agents, agent, stop);
            } catch (...) {
                // A scrape logs what is wrong with the agent; this follower only tries again.
            }
            std::unique_lock lock(idle);
            woken.wait_for(lock, stop, kFollowAgain, [] { return false; });
        }
    }

    void Follow(Agents &agents, ac::Connection &agent, std::stop_token stop)
    {
        {
            std::lock_guard lock(mutex_);
            if (stop.stop_requested()) {
                return;
            }
            active_ = &agent;
        }
        try {
            agent.FollowEvents(-1, [&](const ac::Event &event) {
                agents.Count(agent.Server(), event);
                return !stop.stop_requested();
            });
        } catch (...) {
            std::lock_guard lock(mutex_);
            active_ = nullptr;
            throw;
        }
        std::lock_guard lock(mutex_);
        active_ = nullptr;
    }

    std::mutex mutex_;
    ac::Connection *active_ = nullptr;  // the connection the thread waits on, while it does
    std::jthread thread_;
};

Agents::Agents(std::string first, patools::Credentials credentials, bool all)
    : first_(std::move(first)), credentials_(std::move(credentials))
{
    // The routing table is read before the first scrape can come, so that it asks every agent.
    const bool read = all && ReadRoutes();
    if (!read) {
        Track({first_});
    }
    if (all) {
        refresher_ = std::jthread([this, read](std::stop_token stop) { Refresh(stop, read); });
    }
}

Agents::~Agents()
{
    refresher_ = {};
    std::map<std::string, std::unique_ptr<Follower>> followers;
    {
        std::lock_guard lock(mutex_);
        followers.swap(followers_);
    }
}

bool Agents::ReadRoutes()
{
    try {
        ac::Connection agent = patools::Connect(first_, credentials_);
        Track(patools::ServersRoutedBy(agent));
        return true;
    } catch (...) {
        // The agents known stay; the scrapes log that the first one does not answer.
        return false;
    }
}

void Agents::Refresh(std::stop_token stop, bool read)
{
    while (true) {
        {
            std::unique_lock lock(mutex_);
            refresh_wanted_.wait_for(lock, stop, read ? kRefreshEvery : kReadAgain, [this] { return refresh_now_; });
            if (stop.stop_requested()) {
                return;
            }
            refresh_now_ = false;
        }
        read = ReadRoutes();
    }
}

void Agents::Track(const std::vector<std::string> &servers)
{
    std::vector<std::unique_ptr<Follower>> gone;
    std::lock_guard lock(mutex_);
    servers_ = servers;
    for (auto follower = followers_.begin(); follower != followers_.end();) {
        if (std::find(servers.begin(), servers.end(), follower->first) == servers.end()) {
            gone.push_back(std::move(follower->second));
            follower = followers_.erase(follower);
        } else {
            ++follower;
        }
    }
    for (const std::string &server : servers) {
        if (!followers_.contains(server)) {
            followers_.emplace(server, std::make_unique<Follower>(*this, server));
        }
    }
}

void Agents::Count(const std::string &server, const ac::Event &event)
{
    const bool routes_changed =
        server == first_ && (event.kind == ac::EventKind::kRouteAdded || event.kind == ac::EventKind::kRouteRemoved);
    {
        std::lock_guard lock(mutex_);
        ++counts_[server][std::string(pa::protocol::EventKindName(static_cast<std::int32_t>(event.kind)))];
        refresh_now_ = refresh_now_ || routes_changed;
    }
    if (routes_changed) {
        refresh_wanted_.notify_all();
    }
    feed_.Publish(EventRecord(server, event).dump());
}

std::string Answers::ErrorOf(const std::string &server) const
{
    auto failed = std::find_if(records.begin(), records.end(), [&](const patools::Json &record) {
        return record["server"] == server && record.contains("error");
    });
    return failed != records.end() ? (*failed)["error"].get<std::string>() : std::string();
}

Answers Agents::Ask(const patools::Question &question)
{
    Answers answers;
    {
        std::lock_guard lock(mutex_);
        answers.servers = servers_;
    }
    answers.records = patools::AskEach(answers.servers, credentials_, question);
    for (const std::string &server : answers.servers) {
        Log(server, answers.ErrorOf(server));
    }
    return answers;
}

void Agents::Log(const std::string &server, const std::string &error)
{
    std::lock_guard lock(mutex_);
    auto known = errors_.find(server);
    if (error.empty()) {
        if (known != errors_.end()) {
            std::cerr << "paexporter: " << server << " answers again\n";
            errors_.erase(known);
        }
    } else if (known == errors_.end() || known->second != error) {
        std::cerr << "paexporter: " << server << " does not answer: " << error << '\n';
        errors_[server] = error;
    }
}

bool Agents::Knows(const std::string &server) const
{
    std::lock_guard lock(mutex_);
    return std::find(servers_.begin(), servers_.end(), server) != servers_.end();
}

EventCounts Agents::Counts() const
{
    std::lock_guard lock(mutex_);
    return counts_;
}

}  // namespace paexporter
