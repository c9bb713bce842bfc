// The login whose request a thread carries out, so that the events the request causes name it
// and the checks of what it may do find it, however far below the request's handler they happen.
#ifndef PAAGENT_CORE_REQUEST_USER_H
#define PAAGENT_CORE_REQUEST_USER_H

#include <memory>
#include <optional>
#include <string>

#include "tds/request.h"

namespace paagent {

class Access;

// The user of the request this thread carries out; none when it carries out none.
const std::optional<std::string> &RequestUser();
// What that user may do; none when the thread carries out no client's request.
const std::shared_ptr<const Access> &RequestAccess();

// The login of session as the log and the events name it. Another agent forwarding a request
// names the user it forwards for and itself in the login's client host ("alice@agentA"): the
// request is then "peer1 for alice@agentA". That name grants nothing; what the request may do
// is always what the login itself may.
std::string Requester(const tds::SessionInfo &session);

// Makes user and access this thread's RequestUser and RequestAccess while it lives.
class RequestUserScope {
public:
    explicit RequestUserScope(std::optional<std::string> user, std::shared_ptr<const Access> access = nullptr);
    ~RequestUserScope();
    RequestUserScope(const RequestUserScope &)            = delete;
    RequestUserScope &operator=(const RequestUserScope &) = delete;

private:
    std::optional<std::string> previous_user_;
    std::shared_ptr<const Access> previous_access_;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_REQUEST_USER_H
