#include "agent_env.h"

#include <cstdlib>
#include <stdexcept>

namespace bench {

namespace {

std::string Required(const char *name)
{
    const char *value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        throw std::runtime_error(std::string(name) + " is not set; run the benchmarks through scripts/bench");
    }
    return value;
}

}  // namespace

AgentEnv ReadAgentEnv() { return {Required("PA_SERVER"), Required("PA_USER"), Required("PA_PASSWORD")}; }

PaConnection *ConnectLibrary(const AgentEnv &env)
{
    PaConnection *handle =
        PaConnectCreate(env.server.c_str(), "agentclient_bench", env.user.c_str(), env.password.c_str());
    if (handle == nullptr || PaConnect(handle) != PaSUCCESS) {
        PaConnectDestroy(handle);
        throw std::runtime_error("cannot connect to " + env.server + " through the library");
    }
    return handle;
}

std::string LastAgentMessage(const PaConnection *handle)
{
    PaServerMessage message{};
    if (PaServerGetLastMessage(handle, &message) != PaSUCCESS || message.text == nullptr) {
        return "the agent gave no reason";
    }
    return message.text;
}

}  // namespace bench
