// A misbehaving agent for the tests: a TCP relay on 127.0.0.1 in front of a real agent that
// passes a connection through until it reaches the step its script names, and from there on
// answers as the script says instead of the agent.
#ifndef AGENTCLIENT_TESTS_SCRIPTED_RELAY_H
#define AGENTCLIENT_TESTS_SCRIPTED_RELAY_H

#include "support/agent_process.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ScriptedRelay {
public:
    enum class Step {
        kLogin,     // the login is never passed on
        kFirstRpc,  // the login passes; the first RPC of the connection is never passed on
    };
    struct Script {
        Step step;
        std::string reply;       // bytes sent instead of the agent's answer, then silence
        std::string repeat;      // when not empty, sent again and again after reply until the client goes
        bool cut_first = false;  // the first connection to reach the step is closed there instead
    };

    // Listens on a free port under a server name of its own in the interfaces file.
    ScriptedRelay(const AgentProcess &agent, Script script);
    ~ScriptedRelay();
    ScriptedRelay(const ScriptedRelay &)            = delete;
    ScriptedRelay &operator=(const ScriptedRelay &) = delete;

    const std::string &Name() const { return name_; }
    // Connections accepted from now on are passed through whole, as if the agent had recovered.
    void Recover() { recovered_ = true; }

private:
    void Accept();
    void Serve(int client);

    Script script_;
    int agent_port_;
    std::string name_;
    int listener_ = -1;
    std::atomic<bool> recovered_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> cut_{false};
    std::mutex mutex_;
    std::vector<int> sockets_;  // every open socket, shut down at the end to release the threads
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

// A listening socket on 127.0.0.1 and its free port; throws when there is none.
int ListenOnFreePort(int &port);
// A connection to that port, or -1.
int ConnectTo(int port);

// A TDS 5.0 reply packet (type 4) around body; last marks the end of the reply.
std::string TdsReplyPacket(const std::string &body, bool last);

#endif
