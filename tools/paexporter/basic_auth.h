// HTTP basic authentication against a users file of the agent's format.
#ifndef PAEXPORTER_BASIC_AUTH_H
#define PAEXPORTER_BASIC_AUTH_H

#include <core/users.h>

#include <string>

namespace paexporter {

// Whether authorization (an Authorization header's value) is "Basic" with the user and
// password of a login of users.
bool Authorized(const paagent::Users &users, const std::string &authorization);

}  // namespace paexporter

#endif  // PAEXPORTER_BASIC_AUTH_H
