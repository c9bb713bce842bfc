// The agents the exporter reads: the one it was pointed at and, with --all, every server of its
// routing table, re-read now and then. Each agent's events are followed all along, counted by
// kind and handed to the page's streams; each question is put to every agent at once.
#ifndef PAEXPORTER_AGENTS_H
#define PAEXPORTER_AGENTS_H

#include "event_feed.h"

#include <fan_out.h>
#include <session.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace paexporter {

// What every agent answered to one question, and the agents asked.
struct Answers {
    std::vector<std::string> servers;
    patools::Json records;  // each with "server"; an agent that did not answer gives one with "error"

    // Why server did not answer; empty when it did.
    std::string ErrorOf(const std::string &server) const;
};

// Event counts by server, then by kind name.
using EventCounts = std::map<std::string, std::map<std::string, std::uint64_t>>;

class Agents {
public:
    // Follows first's events and, with all, those of every server first routes to, its routing
    // table read before it returns (within the login's time-out).
    Agents(std::string first, patools::Credentials credentials, bool all);
    // Stops following; every follower ends within about a second.
    ~Agents();
    Agents(const Agents &)            = delete;
    Agents &operator=(const Agents &) = delete;

    // Puts question to every agent at once, within the login's time-out; logs each agent that
    // stops or starts answering, once per change.
    Answers Ask(const patools::Question &question);
    // Whether server is one of the agents.
    bool Knows(const std::string &server) const;
    const patools::Credentials &Login() const { return credentials_; }
    EventCounts Counts() const;
    EventFeed &Feed() { return feed_; }

private:
    class Follower;

    // Follows the servers the first agent routes to; false when it could not be read.
    bool ReadRoutes();
    // Reads the routing table again now and then, sooner after a failed read (read false).
    void Refresh(std::stop_token stop, bool read);
    void Track(const std::vector<std::string> &servers);
    void Count(const std::string &server, const agentclient::Event &event);
    void Log(const std::string &server, const std::string &error);

    const std::string first_;
    const patools::Credentials credentials_;
    EventFeed feed_;

    mutable std::mutex mutex_;
    std::condition_variable_any refresh_wanted_;
    bool refresh_now_ = false;  // a route came or went: the routing table is read again at once
    std::vector<std::string> servers_;
    std::map<std::string, std::unique_ptr<Follower>> followers_;
    EventCounts counts_;
    std::map<std::string, std::string> errors_;  // the last error logged of each agent that did not answer
    std::jthread refresher_;
};

}  // namespace paexporter

#endif  // PAEXPORTER_AGENTS_H
