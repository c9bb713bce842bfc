#include "follow.h"

#include <pybind11/stl.h>

#include <chrono>
#include <deque>
#include <utility>

namespace py = pybind11;

namespace agentclient::python {

namespace {

using namespace std::chrono_literals;

// Each wait of a follower is this short, so that Ctrl-C and close() end it within about as
// long; the GIL is free meanwhile. Its other steps hold the GIL, which is what makes close()
// from another thread safe.
constexpr std::chrono::seconds kFollowWait = 1s;

// Raises what a signal handler left pending (KeyboardInterrupt for Ctrl-C) between two waits.
void CheckSignals()
{
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
}

// One bounded wait through the connection. A signal may cut the wait short and fail it: the
// signal's exception is the one to raise then, not the failed read.
template <class Call>
auto Wait(GuardedConnection &connection, Call call)
{
    try {
        return connection.Run(call);
    } catch (const Error &) {
        CheckSignals();
        throw;
    }
}

// The events after a cursor: those the agent holds now, and, following, those that come.
class EventIterator {
public:
    // Without a cursor, from the agent's latest event at the call: what happens after it comes
    // however late the first next() is.
    EventIterator(SharedConnection connection, std::optional<std::int64_t> since, bool follow, std::string host)
        : connection_(std::move(connection)), follow_(follow), host_(std::move(host))
    {
        cursor_ = since ? *since : Read(0s).cursor;
    }

    Event Next()
    {
        while (pending_.empty()) {
            if (done_) {
                throw py::stop_iteration();
            }
            EventBatch batch = Read(follow_ ? kFollowWait : 0s);
            CheckSignals();
            // Another thread may have closed the iterator while the GIL was free.
            if (done_) {
                throw py::stop_iteration();
            }
            cursor_ = batch.cursor;
            // Without following, what the agent holds has all come once a read brings nothing.
            done_ = !follow_ && batch.events.empty();
            pending_.insert(pending_.end(), batch.events.begin(), batch.events.end());
        }
        Event event = std::move(pending_.front());
        pending_.pop_front();
        handed_ = event.cursor;
        return event;
    }
    void Close()
    {
        done_ = true;
        pending_.clear();
    }
    std::int64_t Handed() const { return handed_; }

private:
    EventBatch Read(std::chrono::seconds wait)
    {
        return Wait(*connection_, [&](Connection &agent) { return agent.WaitEvents(cursor_, wait, host_); });
    }

    SharedConnection connection_;
    std::int64_t cursor_ = -1;
    bool follow_;
    std::string host_;
    std::deque<Event> pending_;
    std::int64_t handed_ = -1;
    bool done_           = false;
};

// A process's output: its last lines at the call, then, following, each piece as it comes.
class OutputIterator {
public:
    OutputIterator(SharedConnection connection, Process process, std::int32_t tail, bool follow)
        : connection_(std::move(connection)), process_(std::move(process)), follow_(follow), last_(Read(-1, tail, 0s))
    {
    }

    Output Next()
    {
        while (last_.data.empty() && last_.lost == 0) {
            if (!follow_) {
                throw py::stop_iteration();
            }
            Output piece = Read(last_.cursor, 0, kFollowWait);
            CheckSignals();
            // Another thread may have closed the iterator while the GIL was free.
            if (!follow_) {
                throw py::stop_iteration();
            }
            last_ = std::move(piece);
        }
        Output piece = std::move(last_);
        last_        = Output{{}, 0, piece.cursor};
        return piece;
    }
    void Close()
    {
        follow_ = false;
        last_   = Output{{}, 0, last_.cursor};
    }

private:
    Output Read(std::int64_t cursor, std::int32_t tail, std::chrono::seconds wait)
    {
        return Wait(*connection_, [&](Connection &agent) { return agent.ReadOutput(process_, cursor, tail, wait); });
    }

    SharedConnection connection_;
    Process process_;
    bool follow_;
    Output last_;
};

}  // namespace

void BindFollowers(py::module_ &module, py::class_<GuardedConnection, SharedConnection> &connection)
{
    py::class_<EventIterator>(module, "EventIterator", "The agent's events; ends on close(), break or Ctrl-C.")
        .def("__iter__", [](EventIterator &self) -> EventIterator & { return self; })
        .def("__next__", &EventIterator::Next)
        .def("close", &EventIterator::Close, "Ends the iteration.")
        .def_property_readonly("cursor", &EventIterator::Handed,
                               "The cursor of the last event handed out, to pass as since later; -1 before the first.");
    py::class_<OutputIterator>(module, "OutputIterator", "A process's output; ends on close(), break or Ctrl-C.")
        .def("__iter__", [](OutputIterator &self) -> OutputIterator & { return self; })
        .def("__next__", &OutputIterator::Next)
        .def("close", &OutputIterator::Close, "Ends the iteration.");

    connection
        .def(
            "events",
            [](SharedConnection self, std::optional<std::int64_t> since, bool follow, const std::string &host) {
                return EventIterator(std::move(self), since, follow, host);
            },
            py::arg("since") = py::none(), py::arg("follow") = true, py::arg("host") = "",
            "The events after the cursor since (None: from now on; 0: every one the agent still holds).\n"
            "Following, it waits for more until close(), break or Ctrl-C; otherwise it ends with those there.\n"
            "With host, the events of the agent that serves host, through the routing table.")
        .def(
            "output",
            [](SharedConnection self, Process process, std::int32_t tail, bool follow) {
                return OutputIterator(std::move(self), std::move(process), tail, follow);
            },
            py::arg("process"), py::arg("tail") = 10, py::arg("follow") = true,
            "The process's last tail lines as Output pieces, then, following, each piece as it comes.");
}

}  // namespace agentclient::python
