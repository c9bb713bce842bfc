// One connection to an agent as Python holds it: shared by the Connection object and the
// iterators that follow through it, used by one call at a time, and closed once.
#ifndef AGENTCLIENT_PYTHON_CONNECTION_H
#define AGENTCLIENT_PYTHON_CONNECTION_H

#include <agentclient/agentclient.hpp>

#include <pybind11/pybind11.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace agentclient::python {

class GuardedConnection {
public:
    // Connects with the GIL released: a login may take the whole time-out.
    GuardedConnection(const std::string &server, const std::string &user, const std::string &password, Options options);

    // Runs call on the connection with the GIL released, so that other Python threads run while
    // it waits on the agent; calls from several threads take turns, as the library requires.
    // Throws Error (unreachable) once the connection is closed.
    template <class Call>
    auto Run(Call call)
    {
        pybind11::gil_scoped_release release;
        std::lock_guard lock(mutex_);
        if (!connection_) {
            throw Error("the connection to " + server_ + " is closed", PaCONNECTION_LOST, PaNETWORK_ERROR);
        }
        return call(*connection_);
    }
    // Disconnects; later calls fail. Closing twice does nothing.
    void Close();
    bool Closed();
    const std::string &Server() const { return server_; }

private:
    std::string server_;
    std::mutex mutex_;
    std::optional<Connection> connection_;
};

using SharedConnection = std::shared_ptr<GuardedConnection>;

// The Python class Connection, returned so that the followers can add their methods to it.
pybind11::class_<GuardedConnection, SharedConnection> BindConnection(pybind11::module_ &module);

}  // namespace agentclient::python

#endif  // AGENTCLIENT_PYTHON_CONNECTION_H
