#include "records.h"

#include <agentclient/records.hpp>

#include <pybind11/operators.h>
#include <pybind11/stl.h>

#include <initializer_list>
#include <string>
#include <unistd.h>
#include <utility>

namespace py = pybind11;

namespace agentclient::python {

namespace {

// "Type(field=repr, ...)", the form a dataclass prints.
std::string Repr(const char *type, std::initializer_list<std::pair<const char *, py::object>> fields)
{
    std::string text      = std::string(type) + "(";
    const char *separator = "";
    for (const auto &[name, value] : fields) {
        text += separator + std::string(name) + "=" + py::repr(value).cast<std::string>();
        separator = ", ";
    }
    return text + ")";
}

void BindEnums(py::module_ &module)
{
    py::enum_<ProcessType>(module, "ProcessType", "How the agent runs a process and learns it has started.")
        .value("DAEMON", ProcessType::kDaemon)
        .value("PA_AWARE", ProcessType::kPaAware)
        .value("NOT_PA_AWARE", ProcessType::kNotPaAware);
    py::enum_<ServiceType>(module, "ServiceType")
        .value("MASTER", ServiceType::kMaster)
        .value("NON_MASTER", ServiceType::kNonMaster);
    py::enum_<ServiceStart>(module, "ServiceStart")
        .value("AUTO", ServiceStart::kAuto)
        .value("NON_AUTO", ServiceStart::kNonAuto);
    py::enum_<EventKind> kinds(module, "EventKind", "What an event says happened.");
    for (const auto &[name, kind] :
         std::initializer_list<std::pair<const char *, EventKind>>{{"NONE", EventKind::kNone},
                                                                   {"LOST", EventKind::kLost},
                                                                   {"DEFINED", EventKind::kDefined},
                                                                   {"CHANGED", EventKind::kChanged},
                                                                   {"REMOVED", EventKind::kRemoved},
                                                                   {"STARTING", EventKind::kStarting},
                                                                   {"STARTED", EventKind::kStarted},
                                                                   {"READY", EventKind::kReady},
                                                                   {"EXITED", EventKind::kExited},
                                                                   {"RESTARTING", EventKind::kRestarting},
                                                                   {"FAILED", EventKind::kFailed},
                                                                   {"STOPPING", EventKind::kStopping},
                                                                   {"STOPPED", EventKind::kStopped},
                                                                   {"ADOPTED", EventKind::kAdopted},
                                                                   {"SERVICE_STARTED", EventKind::kServiceStarted},
                                                                   {"SERVICE_STOPPED", EventKind::kServiceStopped},
                                                                   {"ROUTE_ADDED", EventKind::kRouteAdded},
                                                                   {"ROUTE_REMOVED", EventKind::kRouteRemoved},
                                                                   {"RELOADED", EventKind::kReloaded},
                                                                   {"AGENT_STOPPING", EventKind::kAgentStopping},
                                                                   {"UNHEALTHY", EventKind::kUnhealthy},
                                                                   {"HEALTHY", EventKind::kHealthy}}) {
        kinds.value(name, kind);
    }
    py::enum_<Health>(module, "Health", "Where a running process stands by its readiness and health checks.")
        .value("STARTING", Health::kStarting)
        .value("READY", Health::kReady)
        .value("HEALTHY", Health::kHealthy)
        .value("UNHEALTHY", Health::kUnhealthy);
}

void BindProcess(py::module_ &module)
{
    py::class_<Process>(module, "Process", "A process as the agent defines it: what runs, where and as whom.")
        .def(py::init([](std::string name, std::string host, std::string command, std::optional<std::int32_t> euid,
                         bool managed, std::int32_t pid, std::optional<std::string> restart_message,
                         std::optional<std::string> alert_message, std::int32_t retry_count, ProcessType type) {
                 // Like pactl's definitions, a process runs as the user who defines it.
                 return Process{std::move(name),
                                std::move(host),
                                std::move(command),
                                euid.value_or(static_cast<std::int32_t>(getuid())),
                                managed,
                                pid,
                                std::move(restart_message),
                                std::move(alert_message),
                                retry_count,
                                type};
             }),
             py::arg("name"), py::kw_only(), py::arg("host") = "localhost", py::arg("command") = "",
             py::arg("euid") = py::none(), py::arg("managed") = false, py::arg("pid") = 0,
             py::arg("restart_message") = py::none(), py::arg("alert_message") = py::none(), py::arg("retry_count") = 0,
             py::arg("type") = ProcessType::kNotPaAware)
        .def_readwrite("name", &Process::name)
        .def_readwrite("host", &Process::host)
        .def_readwrite("command", &Process::command)
        .def_readwrite("euid", &Process::euid)
        .def_readwrite("managed", &Process::managed)
        .def_readwrite("pid", &Process::pid, "the PID the agent listed; no part of a definition")
        .def_readwrite("restart_message", &Process::restart_message)
        .def_readwrite("alert_message", &Process::alert_message)
        .def_readwrite("retry_count", &Process::retry_count)
        .def_readwrite("type", &Process::type)
        .def(py::self == py::self)
        .def("__repr__", [](const Process &p) {
            return Repr("Process", {{"name", py::cast(p.name)},
                                    {"host", py::cast(p.host)},
                                    {"command", py::cast(p.command)},
                                    {"euid", py::cast(p.euid)},
                                    {"managed", py::cast(p.managed)},
                                    {"pid", py::cast(p.pid)},
                                    {"restart_message", py::cast(p.restart_message)},
                                    {"alert_message", py::cast(p.alert_message)},
                                    {"retry_count", py::cast(p.retry_count)},
                                    {"type", py::cast(p.type)}});
        });
}

void BindService(py::module_ &module)
{
    py::class_<Member>(module, "Member", "A process of a service, with a value: None, an int or a str.")
        .def(py::init<Process, MemberValue>(), py::arg("process"), py::arg("value") = py::none())
        .def_readwrite("process", &Member::process)
        .def_readwrite("value", &Member::value)
        .def(py::self == py::self)
        .def("__repr__", [](const Member &m) {
            return Repr("Member", {{"process", py::cast(m.process)}, {"value", py::cast(m.value)}});
        });
    py::class_<Service>(module, "Service", "A named group of processes the agent starts and stops together.")
        .def(py::init<std::string, ServiceType, ServiceStart, std::vector<Member>>(), py::arg("name"), py::kw_only(),
             py::arg("type") = ServiceType::kNonMaster, py::arg("start") = ServiceStart::kNonAuto,
             py::arg("members") = std::vector<Member>{})
        .def_readwrite("name", &Service::name)
        .def_readwrite("type", &Service::type)
        .def_readwrite("start", &Service::start)
        .def_readwrite("members", &Service::members, "a copy: assign a new list to change it")
        .def(py::self == py::self)
        .def("__repr__", [](const Service &s) {
            return Repr("Service", {{"name", py::cast(s.name)},
                                    {"type", py::cast(s.type)},
                                    {"start", py::cast(s.start)},
                                    {"members", py::cast(s.members)}});
        });
}

void BindRoute(py::module_ &module)
{
    py::class_<Route>(module, "Route", "An entry of the routing table: the agent server that serves a host.")
        .def(py::init<std::string, std::string>(), py::arg("host"), py::arg("server"))
        .def_readwrite("host", &Route::host)
        .def_readwrite("server", &Route::server)
        .def(py::self == py::self)
        .def("__repr__", [](const Route &r) {
            return Repr("Route", {{"host", py::cast(r.host)}, {"server", py::cast(r.server)}});
        });
}

// What the agent reports rather than what a client defines: read only.
void BindReports(py::module_ &module)
{
    py::class_<Event>(module, "Event", "One of the agent's events: what happened, to what, and who asked for it.")
        .def_readonly("cursor", &Event::cursor)
        .def_readonly("time_ms", &Event::time_ms)
        .def_readonly("kind", &Event::kind)
        .def_readonly("process", &Event::process)
        .def_readonly("service", &Event::service)
        .def_readonly("host", &Event::host)
        .def_readonly("pid", &Event::pid)
        .def_readonly("status", &Event::status, "the exit status, -1 when none")
        .def_readonly("signal", &Event::signal, "the signal that ended the process, 0 when none")
        .def_readonly("message", &Event::message)
        .def_readonly("user", &Event::user)
        .def_readonly("lost", &Event::lost, "LOST: how many events are gone, -1 when unknown")
        .def(py::self == py::self)
        .def("__repr__", [](const Event &e) {
            return Repr("Event", {{"cursor", py::cast(e.cursor)},
                                  {"time_ms", py::cast(e.time_ms)},
                                  {"kind", py::cast(e.kind)},
                                  {"process", py::cast(e.process)},
                                  {"service", py::cast(e.service)},
                                  {"host", py::cast(e.host)},
                                  {"pid", py::cast(e.pid)},
                                  {"status", py::cast(e.status)},
                                  {"signal", py::cast(e.signal)},
                                  {"message", py::cast(e.message)},
                                  {"user", py::cast(e.user)},
                                  {"lost", py::cast(e.lost)}});
        });
    py::class_<Output>(module, "Output", "A piece of a process's output: its bytes, and how many were lost before.")
        .def_property_readonly("data", [](const Output &o) { return py::bytes(o.data); })
        .def_readonly("lost", &Output::lost)
        .def_readonly("cursor", &Output::cursor)
        .def(py::self == py::self)
        .def("__repr__", [](const Output &o) {
            return Repr("Output",
                        {{"data", py::bytes(o.data)}, {"lost", py::cast(o.lost)}, {"cursor", py::cast(o.cursor)}});
        });
    py::class_<ProcessHealth>(module, "ProcessHealth", "A process's readiness and health as its agent sees them.")
        .def_readonly("name", &ProcessHealth::name)
        .def_readonly("host", &ProcessHealth::host)
        .def_readonly("health", &ProcessHealth::health, "None while it does not run")
        .def_readonly("output", &ProcessHealth::output, "what its last health check wrote, at most 1 KiB")
        .def_readonly("status_text", &ProcessHealth::status_text, "the last status it announced")
        .def(py::self == py::self)
        .def("__repr__", [](const ProcessHealth &h) {
            return Repr("ProcessHealth", {{"name", py::cast(h.name)},
                                          {"host", py::cast(h.host)},
                                          {"health", py::cast(h.health)},
                                          {"output", py::cast(h.output)},
                                          {"status_text", py::cast(h.status_text)}});
        });
    py::class_<ProcessStats>(module, "ProcessStats",
                             "What a process uses and how it has fared, as its agent measures it.")
        .def_readonly("name", &ProcessStats::name)
        .def_readonly("host", &ProcessStats::host)
        .def_readonly("state", &ProcessStats::state, "the agent's state number")
        .def_readonly("pid", &ProcessStats::pid, "0 when it does not run")
        .def_readonly("started_at", &ProcessStats::started_at, "Unix time of its start; 0 when it does not run")
        .def_readonly("uptime_seconds", &ProcessStats::uptime_seconds, "by its agent's own clock")
        .def_readonly("restarts", &ProcessStats::restarts, "since the last start request")
        .def_readonly("last_exit_status", &ProcessStats::last_exit_status, "None unless its last run exited")
        .def_readonly("last_exit_signal", &ProcessStats::last_exit_signal, "None unless a signal ended its last run")
        .def_readonly("cpu_user_seconds", &ProcessStats::cpu_user_seconds, "of its whole process group")
        .def_readonly("cpu_system_seconds", &ProcessStats::cpu_system_seconds)
        .def_readonly("memory_bytes", &ProcessStats::memory_bytes, "resident")
        .def_readonly("threads", &ProcessStats::threads)
        .def_readonly("descriptors", &ProcessStats::descriptors)
        .def(py::self == py::self)
        .def("__repr__", [](const ProcessStats &s) {
            return Repr("ProcessStats", {{"name", py::cast(s.name)},
                                         {"host", py::cast(s.host)},
                                         {"pid", py::cast(s.pid)},
                                         {"uptime_seconds", py::cast(s.uptime_seconds)},
                                         {"restarts", py::cast(s.restarts)},
                                         {"cpu_user_seconds", py::cast(s.cpu_user_seconds)},
                                         {"cpu_system_seconds", py::cast(s.cpu_system_seconds)},
                                         {"memory_bytes", py::cast(s.memory_bytes)}});
        });
    py::class_<Login>(module, "Login", "A login as the agent sees it: user, role and the uids it may run as.")
        .def_readonly("user", &Login::user)
        .def_readonly("role", &Login::role)
        .def_readonly("uids", &Login::uids)
        .def(py::self == py::self)
        .def("__repr__", [](const Login &l) {
            return Repr("Login", {{"user", py::cast(l.user)}, {"role", py::cast(l.role)}, {"uids", py::cast(l.uids)}});
        });
}

}  // namespace

void BindRecords(py::module_ &module)
{
    BindEnums(module);
    BindProcess(module);
    BindService(module);
    BindRoute(module);
    BindReports(module);
}

}  // namespace agentclient::python
