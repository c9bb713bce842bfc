#include "configuration.h"

#include "failure.h"

#include "core/config_file.h"
#include "core/peers.h"

#include <fstream>

namespace pactl {

namespace ac = agentclient;

namespace {

ac::Service ToClient(const paagent::ServiceSpec &definition)
{
    ac::Service service{definition.name,
                        static_cast<ac::ServiceType>(definition.type),
                        static_cast<ac::ServiceStart>(definition.start),
                        {}};
    for (const paagent::ServiceMember &member : definition.members) {
        // Both variants hold none, an integer or a text, in that order.
        ac::MemberValue value = std::visit([](const auto &v) { return ac::MemberValue(v); }, member.value);
        service.members.push_back({paagent::ToClient(member.process), std::move(value)});
    }
    return service;
}

}  // namespace

Configuration ReadConfiguration(const std::filesystem::path &path)
{
    // The agent's loader takes a missing file for an empty one; here it is a mistake.
    if (!std::ifstream(path)) {
        throw UsageError("cannot read " + path.string());
    }
    paagent::Definitions definitions;
    try {
        definitions = paagent::LoadConfig(path);
    } catch (const std::exception &error) {
        throw UsageError(path.string() + ": " + error.what());
    }
    Configuration configuration;
    for (const paagent::ServiceSpec &service : definitions.services) {
        configuration.services.push_back(ToClient(service));
    }
    for (const paagent::Route &route : definitions.routes) {
        configuration.routes.push_back({route.host, route.server});
    }
    return configuration;
}

}  // namespace pactl
