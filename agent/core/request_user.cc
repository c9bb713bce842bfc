#include "core/request_user.h"

#include <utility>

namespace paagent {

namespace {

thread_local std::optional<std::string> request_user;

}  // namespace

const std::optional<std::string> &RequestUser() { return request_user; }

RequestUserScope::RequestUserScope(std::optional<std::string> user) : previous_(std::move(request_user))
{
    request_user = std::move(user);
}

RequestUserScope::~RequestUserScope() { request_user = std::move(previous_); }

}  // namespace paagent
