#include "fan_out.h"

#include "errors.h"

#include <algorithm>
#include <thread>

namespace patools {

namespace {

// The server's records, or its error; never throws, as it runs on a thread of its own.
Json Ask(const std::string &server, const Credentials &credentials, const Question &question)
{
    Json records = Json::array();
    try {
        agentclient::Connection agent = Connect(server, credentials);
        for (const Json &answer : question(agent)) {
            Json record = {{"server", server}};
            record.update(answer);
            records.push_back(std::move(record));
        }
    } catch (...) {
        records = Json::array({{{"server", server}, {"error", Explain(std::current_exception()).message}}});
    }
    return records;
}

}  // namespace

Json AskEach(const std::vector<std::string> &servers, const Credentials &credentials, const Question &question)
{
    std::vector<Json> answers(servers.size());
    {
        // Every call the library makes is bounded, so every asker ends and is joined here.
        std::vector<std::jthread> askers;
        for (std::size_t i = 0; i < servers.size(); ++i) {
            askers.emplace_back([&, i] { answers[i] = Ask(servers[i], credentials, question); });
        }
    }
    Json merged = Json::array();
    for (const Json &answer : answers) {
        merged.insert(merged.end(), answer.begin(), answer.end());
    }
    return merged;
}

std::vector<std::string> AllServers(Session &session) { return ServersRoutedBy(session.Agent()); }

std::vector<std::string> ServersRoutedBy(agentclient::Connection &agent)
{
    std::vector<std::string> servers = {agent.Server()};
    for (const agentclient::Route &route : agent.Routes()) {
        if (std::find(servers.begin(), servers.end(), route.server) == servers.end()) {
            servers.push_back(route.server);
        }
    }
    return servers;
}

}  // namespace patools
