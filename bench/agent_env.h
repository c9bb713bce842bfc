// The agent the benchmarks talk to, as scripts/bench describes it in the environment.
#ifndef AGENTCLIENT_BENCH_AGENT_ENV_H
#define AGENTCLIENT_BENCH_AGENT_ENV_H

#include <agentclient/pa.h>

#include <string>

namespace bench {

struct AgentEnv {
    std::string server;    // PA_SERVER, a name in the interfaces file under VTHOME
    std::string user;      // PA_USER
    std::string password;  // PA_PASSWORD
};

// Reads PA_SERVER, PA_USER and PA_PASSWORD; throws std::runtime_error when one is missing.
AgentEnv ReadAgentEnv();

// A library handle connected to the agent; throws std::runtime_error when it cannot connect.
PaConnection *ConnectLibrary(const AgentEnv &env);

// The text of the last message the agent sent on the handle, such as why it refused a request.
std::string LastAgentMessage(const PaConnection *handle);

}  // namespace bench

#endif
