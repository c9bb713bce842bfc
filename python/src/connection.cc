#include "connection.h"

#include <protocol/states.h>

#include <pybind11/operators.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace agentclient::python {

namespace {

// The agent's request for a process to stop and start again.
constexpr std::int32_t kRestartRequest = static_cast<std::int32_t>(pa::protocol::StateRequest::kRestart);

// The name the tools show for a state code, or "unknown".
std::string StateName(std::span<const std::string_view> names, std::int32_t state)
{
    return std::string(state >= 0 && static_cast<std::size_t>(state) < names.size()
                           ? names[static_cast<std::size_t>(state)]
                           : "unknown");
}

// The record called name among records, or a refusal naming what the agent does not know.
template <class Record>
Record Named(std::vector<Record> records, const std::string &name, const std::string &what, const std::string &server)
{
    auto found = std::find_if(records.begin(), records.end(), [&](const Record &r) { return r.name == name; });
    if (found == records.end()) {
        throw Error(server + " knows no " + what + " " + name, PaNOT_FOUND);
    }
    return std::move(*found);
}

void BindStatus(py::module_ &module)
{
    py::class_<ProcessStatus>(module, "ProcessStatus", "A process's state as the agent reports it, and its PID.")
        .def_property_readonly(
            "state", [](const ProcessStatus &s) { return StateName(pa::protocol::kProcessStateNames, s.state); },
            "'stopped', 'running', 'exited', 'failed' or 'unknown'")
        .def_readonly("code", &ProcessStatus::state, "the state's code")
        .def_readonly("pid", &ProcessStatus::pid, "0 when it is not running")
        .def("__eq__",
             [](const ProcessStatus &a, const ProcessStatus &b) { return a.state == b.state && a.pid == b.pid; })
        .def("__repr__", [](const ProcessStatus &s) {
            return "ProcessStatus(state='" + StateName(pa::protocol::kProcessStateNames, s.state) +
                   "', pid=" + std::to_string(s.pid) + ")";
        });
}

void BindAgentCalls(py::class_<GuardedConnection, SharedConnection> &c)
{
    c.def(
         "version",
         [](GuardedConnection &g) {
             const Version version = g.Run([](Connection &a) { return a.GetVersion(); });
             return std::pair(version.major, version.minor);
         },
         "The agent's protocol version as (major, minor).")
        .def(
            "whoami", [](GuardedConnection &g) { return g.Run([](Connection &a) { return a.WhoAmI(); }); },
            "This connection's login as the agent sees it.")
        .def("debug_level", [](GuardedConnection &g) { return g.Run([](Connection &a) { return a.DebugLevel(); }); })
        .def(
            "set_debug_level",
            [](GuardedConnection &g, std::int32_t level) { g.Run([&](Connection &a) { a.SetDebugLevel(level); }); },
            py::arg("level"))
        .def(
            "notify", [](GuardedConnection &g) { g.Run([](Connection &a) { a.GenerateNotification(); }); },
            "Asks the agent to generate a notification.")
        .def("start_all", [](GuardedConnection &g) { g.Run([](Connection &a) { a.StartAllProcesses(); }); })
        .def("stop_all", [](GuardedConnection &g) { g.Run([](Connection &a) { a.StopAllProcesses(); }); })
        .def(
            "stop_agent",
            [](GuardedConnection &g, bool processes) { g.Run([&](Connection &a) { a.StopAgent(processes ? 1 : 0); }); },
            py::kw_only(), py::arg("processes") = false, "Asks the agent to stop, with its processes if processes.");
}

void BindProcessCalls(py::class_<GuardedConnection, SharedConnection> &c)
{
    c.def(
         "processes",
         [](GuardedConnection &g, bool all) { return g.Run([&](Connection &a) { return a.Processes(all); }); },
         py::arg("all") = true, "Every process the agent knows (all=False: the agent's selection without it).")
        .def(
            "process",
            [](GuardedConnection &g, const std::string &name) {
                return Named(g.Run([](Connection &a) { return a.Processes(); }), name, "process", g.Server());
            },
            py::arg("name"), "The process the agent knows by name; Refused when it knows none.")
        .def(
            "start",
            [](GuardedConnection &g, Process p, std::int32_t timeout, const std::optional<std::string> &arguments) {
                g.Run([&](Connection &a) { arguments ? a.StartWithArgs(p, *arguments) : a.Start(p, timeout); });
            },
            py::arg("process"), py::kw_only(), py::arg("timeout") = 0, py::arg("arguments") = py::none(),
            "Starts (and, with a command, defines) the process; with a timeout the agent watches it that many\n"
            "seconds before it answers; arguments are added to its command.")
        .def(
            "stop", [](GuardedConnection &g, Process p) { g.Run([&](Connection &a) { a.Stop(p); }); },
            py::arg("process"))
        .def(
            "restart",
            [](GuardedConnection &g, Process p) { g.Run([&](Connection &a) { a.ForwardState(p, kRestartRequest); }); },
            py::arg("process"))
        .def(
            "signal",
            [](GuardedConnection &g, Process p, std::int32_t signal) {
                g.Run([&](Connection &a) { a.Signal(p, signal); });
            },
            py::arg("process"), py::arg("signal"), "Sends the signal (a number or a signal.Signals) to the process.")
        .def(
            "status", [](GuardedConnection &g, Process p) { return g.Run([&](Connection &a) { return a.Status(p); }); },
            py::arg("process"))
        .def(
            "change",
            [](GuardedConnection &g, const std::string &name, Process p) {
                g.Run([&](Connection &a) { a.Change(name, p); });
            },
            py::arg("name"), py::arg("process"), "Replaces the definition of the process called name.")
        .def(
            "health",
            [](GuardedConnection &g, const std::string &name, const std::string &host) {
                return g.Run([&](Connection &a) { return a.Health(name, host); });
            },
            py::arg("name") = "", py::arg("host") = "",
            "The health of the process called name (of host), or, without a name, of every process of the\n"
            "agent that serves host (this one without a host). NotSupported from an agent without health.")
        .def(
            "stats",
            [](GuardedConnection &g, const std::optional<std::string> &name, const std::optional<std::string> &host) {
                return g.Run([&](Connection &a) { return a.Stats(name.value_or(""), host.value_or("")); });
            },
            py::arg("name") = py::none(), py::arg("host") = py::none(),
            "The resource figures of the process called name (of host), or, without a name, of every process\n"
            "of the agent that serves host (this one without a host). NotSupported from an agent without them.");
}

void BindServiceCalls(py::class_<GuardedConnection, SharedConnection> &c)
{
    c.def(
         "services",
         [](GuardedConnection &g, bool all) { return g.Run([&](Connection &a) { return a.Services(all); }); },
         py::arg("all") = true)
        .def(
            "service",
            [](GuardedConnection &g, const std::string &name) {
                return Named(g.Run([](Connection &a) { return a.Services(); }), name, "service", g.Server());
            },
            py::arg("name"), "The service the agent knows by name; Refused when it knows none.")
        .def(
            "add", [](GuardedConnection &g, Service s) { g.Run([&](Connection &a) { a.Add(s); }); }, py::arg("service"))
        .def(
            "start", [](GuardedConnection &g, Service s) { g.Run([&](Connection &a) { a.Start(s); }); },
            py::arg("service"))
        .def(
            "stop", [](GuardedConnection &g, Service s) { g.Run([&](Connection &a) { a.Stop(s); }); },
            py::arg("service"))
        .def(
            "remove", [](GuardedConnection &g, Service s) { g.Run([&](Connection &a) { a.Remove(s); }); },
            py::arg("service"))
        .def(
            "change",
            [](GuardedConnection &g, const std::string &name, Service s) {
                g.Run([&](Connection &a) { a.Change(name, s); });
            },
            py::arg("name"), py::arg("service"))
        .def(
            "status",
            [](GuardedConnection &g, Service s) {
                return StateName(pa::protocol::kServiceStateNames, g.Run([&](Connection &a) { return a.Status(s); }));
            },
            py::arg("service"), "'stopped', 'running', 'partial' or 'unknown'.");
}

void BindRouteCalls(py::class_<GuardedConnection, SharedConnection> &c)
{
    c.def("routes", [](GuardedConnection &g) { return g.Run([](Connection &a) { return a.Routes(); }); })
        .def(
            "add", [](GuardedConnection &g, Route r) { g.Run([&](Connection &a) { a.Add(r); }); }, py::arg("route"))
        .def(
            "remove", [](GuardedConnection &g, Route r) { g.Run([&](Connection &a) { a.Remove(r); }); },
            py::arg("route"));
}

}  // namespace

GuardedConnection::GuardedConnection(const std::string &server, const std::string &user, const std::string &password,
                                     Options options)
    : server_(server)
{
    py::gil_scoped_release release;
    connection_.emplace(server, user, password, std::move(options));
}

void GuardedConnection::Close()
{
    py::gil_scoped_release release;
    std::lock_guard lock(mutex_);
    connection_.reset();
}

bool GuardedConnection::Closed()
{
    std::lock_guard lock(mutex_);
    return !connection_;
}

py::class_<GuardedConnection, SharedConnection> BindConnection(py::module_ &module)
{
    BindStatus(module);
    py::class_<GuardedConnection, SharedConnection> c(
        module, "Connection",
        "A connection to one agent, made by connect(). A context manager: closed when the with block ends.\n"
        "Calls release the GIL while they wait; calls from several threads take turns.");
    c.def_property_readonly("server", &GuardedConnection::Server)
        .def_property_readonly("closed", &GuardedConnection::Closed)
        .def("close", &GuardedConnection::Close, "Disconnects; later calls raise Unreachable.")
        .def("__enter__", [](SharedConnection self) { return self; })
        .def("__exit__", [](GuardedConnection &g, const py::args &) { g.Close(); })
        .def("__repr__",
             [](GuardedConnection &g) {
                 return "<agentclient.Connection to " + g.Server() + (g.Closed() ? ", closed>" : ">");
             })
        .def_property(
            "timeout", [](GuardedConnection &g) { return g.Run([](Connection &a) { return a.Timeout().count(); }); },
            [](GuardedConnection &g, std::int64_t seconds) {
                g.Run([&](Connection &a) { a.SetTimeout(std::chrono::seconds(seconds)); });
            },
            "How long a reply may take, in seconds.")
        .def("valid_and_open",
             [](GuardedConnection &g) { return g.Run([](Connection &a) { return a.ValidAndOpen(); }); })
        .def("reconnect", [](GuardedConnection &g) { g.Run([](Connection &a) { a.Reconnect(); }); });
    BindAgentCalls(c);
    BindProcessCalls(c);
    BindServiceCalls(c);
    BindRouteCalls(c);

    module.def(
        "connect",
        [](const std::string &server, const std::string &user, const std::string &password, std::int64_t timeout,
           const std::string &application) {
            Options options;
            options.application = application;
            options.timeout     = std::chrono::seconds(timeout);
            return std::make_shared<GuardedConnection>(server, user, password, std::move(options));
        },
        py::arg("server"), py::arg("user"), py::arg("password"), py::arg("timeout") = 30,
        py::arg("application") = "agentclient-python",
        "Connects to the agent server (a name of the interfaces file) as user; timeout is how long, in\n"
        "seconds, a reply may take. Raises Refused for a wrong login, Unreachable when no agent answers.");
    return c;
}

}  // namespace agentclient::python
