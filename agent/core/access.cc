#include "core/access.h"

#include <algorithm>
#include <charconv>
#include <pwd.h>
#include <stdexcept>

#include "core/agent_types.h"
#include "core/request_user.h"

namespace paagent {

namespace {

std::optional<std::int32_t> Number(std::string_view text)
{
    std::int32_t number     = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size() || number < 0) {
        return std::nullopt;
    }
    return number;
}

std::optional<std::int32_t> UidOfName(const std::string &name)
{
    passwd entry{};
    passwd *found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(found->pw_uid);
}

// A number, a range of numbers or a user name, which may hold a '-' itself.
UidRange ParseUidPart(std::string_view part)
{
    if (auto uid = Number(part)) {
        return {*uid, *uid};
    }
    const auto dash = part.find('-');
    if (dash != std::string_view::npos) {
        auto first = Number(part.substr(0, dash));
        auto last  = Number(part.substr(dash + 1));
        if (first && last && *first <= *last) {
            return {*first, *last};
        }
    }
    if (auto uid = UidOfName(std::string(part))) {
        return {*uid, *uid};
    }
    throw std::invalid_argument("neither a user id, a range of them nor a user: '" + std::string(part) + "'");
}

std::string Who(const Access &access)
{
    return "user " + access.User() + " (" + std::string(pa::protocol::RoleName(access.GetRole())) + ")";
}

// What tells two definitions of a process apart, as a refusal names it.
std::optional<std::string> Difference(const Process &stored, const Process &requested)
{
    if (stored.command != requested.command) {
        return "its command";
    }
    if (stored.euid != requested.euid) {
        return "its run-as user";
    }
    if (stored.type != requested.type) {
        return "its type";
    }
    if (stored.managed != requested.managed) {
        return "its managed flag";
    }
    if (stored.retry_count != requested.retry_count) {
        return "its retries";
    }
    if (stored.host != requested.host) {
        return "its host";
    }
    if (stored.restart_message != requested.restart_message || stored.alert_message != requested.alert_message) {
        return "its messages";
    }
    return std::nullopt;
}

}  // namespace

std::vector<UidRange> ParseUids(std::string_view text)
{
    std::vector<UidRange> uids;
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        uids.push_back(ParseUidPart(text.substr(at, comma - at)));
        at = comma + 1;
    }
    return uids;
}

bool Access::MayRunAs(std::int32_t uid) const
{
    return !uids_ || std::any_of(uids_->begin(), uids_->end(),
                                 [uid](const UidRange &range) { return range.first <= uid && uid <= range.last; });
}

std::string Access::UidsText() const
{
    if (!uids_) {
        return "any";
    }
    std::string text;
    for (const UidRange &range : *uids_) {
        text += (text.empty() ? "" : ",") + std::to_string(range.first);
        if (range.last != range.first) {
            text += "-" + std::to_string(range.last);
        }
    }
    return text;
}

std::string Access::Describe() const { return std::string(pa::protocol::RoleName(role_)) + ", uids " + UidsText(); }

void RequireRole(Role role, std::string_view action)
{
    const auto &access = RequestAccess();
    if (access && access->GetRole() < role) {
        throw AgentError(Who(*access) + " may not " + std::string(action));
    }
}

void RequireRunAs(std::int32_t uid)
{
    const auto &access = RequestAccess();
    if (access && !access->MayRunAs(uid)) {
        throw AgentError("user " + access->User() + " may not run processes as user " + std::to_string(uid));
    }
}

void RequireAsDefined(const Process *stored, const Process &requested)
{
    const auto &access = RequestAccess();
    if (!access || access->GetRole() == Role::kAdmin) {
        return;
    }
    if (stored == nullptr) {
        throw AgentError(Who(*access) + " may not define processes: process " + requested.name + " is not defined");
    }
    if (auto difference = Difference(*stored, requested)) {
        throw AgentError(Who(*access) + " may only start process " + requested.name +
                         " as it is defined: " + *difference + " differs");
    }
}

void RequireAsDefined(const std::optional<Service> &stored, const Service &requested)
{
    const auto &access = RequestAccess();
    if (!access || access->GetRole() == Role::kAdmin) {
        return;
    }
    if (!stored) {
        throw AgentError(Who(*access) + " may not define services: service " + requested.name + " is not defined");
    }
    if (!(*stored == requested)) {
        throw AgentError(Who(*access) + " may only start service " + requested.name + " as it is defined");
    }
}

void RequireUnlimited(std::string_view action, const std::string &host)
{
    const auto &access = RequestAccess();
    if (access && access->Limited()) {
        throw AgentError(Who(*access) + " may not " + std::string(action) + " of host " + host +
                         ": only its agent knows their definitions");
    }
}

}  // namespace paagent
