// The login whose request a thread carries out, so that the events the request causes name it,
// however far below the request's handler they happen.
#ifndef PAAGENT_CORE_REQUEST_USER_H
#define PAAGENT_CORE_REQUEST_USER_H

#include <optional>
#include <string>

namespace paagent {

// The user of the request this thread carries out; none when it carries out none.
const std::optional<std::string> &RequestUser();

// Makes user this thread's RequestUser while it lives.
class RequestUserScope {
public:
    explicit RequestUserScope(std::optional<std::string> user);
    ~RequestUserScope();
    RequestUserScope(const RequestUserScope &)            = delete;
    RequestUserScope &operator=(const RequestUserScope &) = delete;

private:
    std::optional<std::string> previous_;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_REQUEST_USER_H
