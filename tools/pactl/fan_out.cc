#include "fan_out.h"

#include "bounded_task.h"
#include "errors.h"

#include <algorithm>

namespace pactl {

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
    const auto deadline = std::chrono::steady_clock::now() + 2 * credentials.timeout;
    std::vector<BoundedTask<Json>> askers;
    for (const std::string &server : servers) {
        askers.emplace_back([server, credentials, question] { return Ask(server, credentials, question); });
    }
    Json merged = Json::array();
    for (std::size_t i = 0; i < servers.size(); ++i) {
        const Json answer = askers[i].Get(deadline).value_or(
            Json::array({{{"server", servers[i]}, {"error", NoAnswer(servers[i], 2 * credentials.timeout).what()}}}));
        merged.insert(merged.end(), answer.begin(), answer.end());
    }
    return merged;
}

std::vector<std::string> AllServers(Session &session)
{
    std::vector<std::string> servers = {session.ServerName()};
    for (const agentclient::Route &route : session.Agent().Routes()) {
        if (std::find(servers.begin(), servers.end(), route.server) == servers.end()) {
            servers.push_back(route.server);
        }
    }
    return servers;
}

}  // namespace pactl
