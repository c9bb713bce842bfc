#include "core/request_user.h"

#include <utility>

#include "core/peers.h"

namespace paagent {

namespace {

thread_local std::optional<std::string> request_user;
thread_local std::shared_ptr<const Access> request_access;

}  // namespace

const std::optional<std::string> &RequestUser() { return request_user; }

const std::shared_ptr<const Access> &RequestAccess() { return request_access; }

std::string Requester(const tds::SessionInfo &session)
{
    if (session.application == kForwardApplication && session.client_host.find('@') != std::string::npos) {
        return session.user + " for " + session.client_host;
    }
    return session.user;
}

RequestUserScope::RequestUserScope(std::optional<std::string> user, std::shared_ptr<const Access> access)
    : previous_user_(std::move(request_user)), previous_access_(std::move(request_access))
{
    request_user   = std::move(user);
    request_access = std::move(access);
}

RequestUserScope::~RequestUserScope()
{
    request_user   = std::move(previous_user_);
    request_access = std::move(previous_access_);
}

}  // namespace paagent
