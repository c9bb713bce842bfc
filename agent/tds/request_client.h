// The client of the request a thread answers, for code far below the request's handler that
// waits long on the client's behalf and should stop once nobody is left to hear the answer.
#ifndef PAAGENT_TDS_REQUEST_CLIENT_H
#define PAAGENT_TDS_REQUEST_CLIENT_H

namespace paagent::tds {

// The socket of the client whose request this thread answers, -1 when it answers none. Only to
// be polled for the client's hang-up (POLLRDHUP): never read, written or closed.
int RequestClientSocket();

// Makes socket this thread's RequestClientSocket while it lives.
class RequestClientScope {
public:
    explicit RequestClientScope(int socket);
    ~RequestClientScope();
    RequestClientScope(const RequestClientScope &)            = delete;
    RequestClientScope &operator=(const RequestClientScope &) = delete;

private:
    int previous_;
};

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_REQUEST_CLIENT_H
