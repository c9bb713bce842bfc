// The client of the request a thread answers.
#include "tds/request_client.h"

namespace paagent::tds {

namespace {

thread_local int request_client_socket = -1;

}  // namespace

int RequestClientSocket() { return request_client_socket; }

RequestClientScope::RequestClientScope(int socket) : previous_(request_client_socket)
{
    request_client_socket = socket;
}

RequestClientScope::~RequestClientScope() { request_client_socket = previous_; }

}  // namespace paagent::tds
