// The login reserved for the reports of PA-aware processes: a process tells the agent that
// started it its PID and process id over a connection of its own under this login, which the
// agent accepts only with this application name and only for the notification RPC.
#ifndef AGENTCLIENT_PROTOCOL_INFORM_LOGIN_H
#define AGENTCLIENT_PROTOCOL_INFORM_LOGIN_H

namespace pa::protocol {

inline constexpr const char *kInformUser        = "vexamund";
inline constexpr const char *kInformPassword    = "marlock";
inline constexpr const char *kInformApplication = "PAKitNotify";

}  // namespace pa::protocol

#endif
