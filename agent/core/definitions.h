// What the agent is asked to manage: process, service and routing definitions.
#ifndef PAAGENT_CORE_DEFINITIONS_H
#define PAAGENT_CORE_DEFINITIONS_H

#include <agentclient/pa.h>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace paagent {

enum class ProcessType : std::int32_t {
    kDaemon     = PaDAEMON_PROCESS,
    kPaAware    = PaPA_AWARE,
    kNotPaAware = PaNOT_PA_AWARE
};

struct ProcessSpec {
    std::string name;
    std::string host;
    std::string command;
    std::int32_t euid = 0;
    bool managed      = false;
    std::optional<std::string> restart_message;
    std::optional<std::string> alert_message;
    std::int32_t retry_count = 0;
    ProcessType type         = ProcessType::kNotPaAware;

    bool operator==(const ProcessSpec &) const = default;
};

// A member's value: an integer, a text, or none (the kinds PaVALUE_INTEGER, PaVALUE_TEXT and
// PaVALUE_NONE).
using MemberValue = std::variant<std::monostate, std::int32_t, std::string>;

struct ServiceMember {
    ProcessSpec process;
    MemberValue value;

    bool operator==(const ServiceMember &) const = default;
};

enum class ServiceType : std::int32_t {
    kMaster    = PaSERVICE_MASTER,
    kNonMaster = PaSERVICE_NON_MASTER
};
enum class ServiceStart : std::int32_t {
    kAuto    = PaSERVICE_AUTO,
    kNonAuto = PaSERVICE_NON_AUTO
};

struct ServiceSpec {
    std::string name;
    std::int32_t type  = static_cast<std::int32_t>(ServiceType::kNonMaster);
    std::int32_t start = static_cast<std::int32_t>(ServiceStart::kNonAuto);
    std::vector<ServiceMember> members;

    bool IsMaster() const { return type == static_cast<std::int32_t>(ServiceType::kMaster); }
    bool StartsAutomatically() const { return start == static_cast<std::int32_t>(ServiceStart::kAuto); }
    bool operator==(const ServiceSpec &) const = default;
};

struct Route {
    std::string host;
    std::string server;

    bool operator==(const Route &) const = default;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_DEFINITIONS_H
