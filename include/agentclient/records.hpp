// agentclient's records as C++ values: processes, services with their members, and routes.
//
// Plain values with equality, usable without the rest of the C++ API: what a client sends and
// lists, what the agent holds and what the configuration file carries are these same types.
#ifndef AGENTCLIENT_RECORDS_HPP
#define AGENTCLIENT_RECORDS_HPP

#include <agentclient/pa.h>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace agentclient {

enum class ProcessType : std::int32_t {
    kDaemon     = PaDAEMON_PROCESS,
    kPaAware    = PaPA_AWARE,
    kNotPaAware = PaNOT_PA_AWARE
};

struct Process {
    std::string name;
    std::string host;
    std::string command;
    std::int32_t euid = 0;
    bool managed      = false;
    std::int32_t pid  = 0;  // as the agent reported it in a list; no part of a definition
    std::optional<std::string> restart_message;
    std::optional<std::string> alert_message;
    std::int32_t retry_count = 0;
    ProcessType type         = ProcessType::kNotPaAware;

    bool operator==(const Process &) const = default;
};

// A member's value: none, an integer or a text (the kinds PaVALUE_NONE, PaVALUE_INTEGER and
// PaVALUE_TEXT).
using MemberValue = std::variant<std::monostate, std::int32_t, std::string>;

struct Member {
    Process process;
    MemberValue value;

    bool operator==(const Member &) const = default;
};

enum class ServiceType : std::int32_t {
    kMaster    = PaSERVICE_MASTER,
    kNonMaster = PaSERVICE_NON_MASTER
};
enum class ServiceStart : std::int32_t {
    kAuto    = PaSERVICE_AUTO,
    kNonAuto = PaSERVICE_NON_AUTO
};

struct Service {
    std::string name;
    ServiceType type   = ServiceType::kNonMaster;
    ServiceStart start = ServiceStart::kNonAuto;
    std::vector<Member> members;

    bool operator==(const Service &) const = default;
};

struct Route {
    std::string host;
    std::string server;

    bool operator==(const Route &) const = default;
};

}  // namespace agentclient

#endif
