// agentclient for C++: ownership and errors the C++ way over the C API of pa.h.
//
// Header only, so that the C ABI stays the library's only ABI: nothing here is compiled into
// libagentclient, and programs built with another compiler or standard library link as C
// programs do. Every call goes straight to the C function of the same family; this layer adds
// no behaviour beyond owning what the C API hands out and turning failures into exceptions.
//
// Errors: every failed call throws agentclient::Error with the status code, the classification
// of the last Client-Library message and the agent's own text when it refused the request.
// Threads: as for the C API, one Connection is used by one thread at a time.
// Records: the values of records.hpp, built into the C API's records and read back here.
#ifndef AGENTCLIENT_AGENTCLIENT_HPP
#define AGENTCLIENT_AGENTCLIENT_HPP

#include <agentclient/pa.h>
#include <agentclient/records.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace agentclient {

// A failed call: its status code (Pa... of pa.h), the class of the last Client-Library message
// (PaNO_ERROR, PaNETWORK_ERROR or PaGENERAL_ERROR) and the agent's reason when it refused.
class Error : public std::runtime_error {
public:
    Error(std::string what, std::int32_t code, std::int32_t classification = PaNO_ERROR, std::string agent_text = {},
          bool timed_out = false)
        : std::runtime_error(std::move(what)), code_(code), classification_(classification),
          agent_text_(std::move(agent_text)), timed_out_(timed_out)
    {
    }
    std::int32_t Code() const noexcept { return code_; }
    std::int32_t Classification() const noexcept { return classification_; }
    // Empty unless the agent said why it refused.
    const std::string &AgentText() const noexcept { return agent_text_; }
    // Whether the agent could not be reached (as opposed to refusing the login or the request,
    // which it says why it did).
    bool Unreachable() const noexcept
    {
        return timed_out_ || classification_ == PaNETWORK_ERROR || (code_ == PaCONNECT_FAILED && agent_text_.empty());
    }
    // Whether the agent did not answer within the connection's time-out.
    bool TimedOut() const noexcept { return timed_out_; }

private:
    std::int32_t code_;
    std::int32_t classification_;
    std::string agent_text_;
    bool timed_out_;
};

// A process's state as the agent reports it, and its PID (0 when it is not running).
struct ProcessStatus {
    std::int32_t state = PaSTATUS_UNKNOWN;
    std::int32_t pid   = 0;
};

struct Version {
    std::int32_t major = 0;
    std::int32_t minor = 0;
};

struct ServerMessage {
    std::int32_t number   = 0;
    std::int32_t severity = 0;
    std::string text;
};

namespace detail {

struct ProcessFree {
    void operator()(PaProcess *process) const { PaProcessFree(process); }
};
struct ServiceFree {
    void operator()(PaService *service) const { PaServiceFree(service); }
};
struct HostFree {
    void operator()(PaHost *host) const { PaHostFree(host); }
};
struct TextFree {
    void operator()(char *text) const
    {
        if (text != nullptr) {
            PaFree(text);
        }
    }
};
using CProcess = std::unique_ptr<PaProcess, ProcessFree>;
using CService = std::unique_ptr<PaService, ServiceFree>;
using CHost    = std::unique_ptr<PaHost, HostFree>;
using CText    = std::unique_ptr<char, TextFree>;

// A list the C API handed out, released with its family's function.
template <auto Release>
struct ListOwner {
    PaList *list = nullptr;
    ~ListOwner()
    {
        if (list != nullptr) {
            Release(list);
        }
    }
};

[[noreturn]] inline void Throw(std::string what, std::int32_t code) { throw Error(std::move(what), code); }

inline const char *OrNull(const std::optional<std::string> &text) { return text ? text->c_str() : nullptr; }

inline std::optional<std::string> Optional(char *text)
{
    CText owned(text);
    return owned ? std::optional<std::string>(owned.get()) : std::nullopt;
}

inline std::string Text(char *text) { return Optional(text).value_or(std::string()); }

inline CProcess ToC(const Process &p)
{
    CProcess process(PaVaProcessCreate(
        p.name.c_str(), PaPROCESS_HOSTNAME, p.host.c_str(), PaPROCESS_COMMAND, p.command.c_str(), PaPROCESS_EUID,
        p.euid, PaPROCESS_MANAGED, std::int32_t{p.managed ? 1 : 0}, PaPROCESS_PID, p.pid, PaPROCESS_RESTART_MSG,
        OrNull(p.restart_message), PaPROCESS_ALERT_MSG, OrNull(p.alert_message), PaPROCESS_RETRY_COUNT, p.retry_count,
        PaPROCESS_TYPE, static_cast<std::int32_t>(p.type), 0));
    if (!process) {
        Throw("cannot build process " + p.name, PaFAILURE);
    }
    return process;
}

inline Process FromC(const PaProcess *c)
{
    char *name = nullptr, *host = nullptr, *command = nullptr, *restart = nullptr, *alert = nullptr;
    std::int32_t euid = 0, managed = 0, pid = 0, retries = 0, type = 0;
    std::int32_t read = PaProcessGetAttribute(c, PaPROCESS_NAME, &name, PaPROCESS_HOSTNAME, &host, PaPROCESS_COMMAND,
                                              &command, PaPROCESS_EUID, &euid, PaPROCESS_MANAGED, &managed,
                                              PaPROCESS_PID, &pid, PaPROCESS_RESTART_MSG, &restart, PaPROCESS_ALERT_MSG,
                                              &alert, PaPROCESS_RETRY_COUNT, &retries, PaPROCESS_TYPE, &type, 0);
    Process process{Text(name), Text(host),        Text(command),   euid,    managed != 0,
                    pid,        Optional(restart), Optional(alert), retries, static_cast<ProcessType>(type)};
    if (read != PaSUCCESS) {
        Throw("cannot read a process record", read);
    }
    return process;
}

inline void AddMember(PaService *service, const Member &member)
{
    PaServProcess entry{};
    entry.process = ToC(member.process).release();
    entry.kind    = PaVALUE_NONE;
    if (const auto *number = std::get_if<std::int32_t>(&member.value)) {
        entry.kind           = PaVALUE_INTEGER;
        entry.value.intValue = *number;
    } else if (const auto *text = std::get_if<std::string>(&member.value)) {
        entry.kind            = PaVALUE_TEXT;
        entry.value.textValue = PaStrDup(text->c_str());
    }
    // On success the service takes over the process and the text.
    std::int32_t added = PaServiceAddProcess(service, &entry, 0);
    if (added != PaSUCCESS) {
        PaProcessFree(entry.process);
        if (entry.kind == PaVALUE_TEXT && entry.value.textValue != nullptr) {
            PaFree(entry.value.textValue);
        }
        Throw("cannot add process " + member.process.name + " to a service", added);
    }
}

inline CService ToC(const Service &s)
{
    CService service(PaVaServiceCreate(s.name.c_str(), PaSERVICE_TYPE, static_cast<std::int32_t>(s.type),
                                       PaSERVICE_START, static_cast<std::int32_t>(s.start), 0));
    if (!service) {
        Throw("cannot build service " + s.name, PaFAILURE);
    }
    for (const Member &member : s.members) {
        AddMember(service.get(), member);
    }
    return service;
}

inline Service FromC(const PaService *c)
{
    char *name        = nullptr;
    std::int32_t type = 0, start = 0;
    ListOwner<PaServiceProcessListDestroy> members;
    std::int32_t read = PaServiceGetAttribute(c, PaSERVICE_NAME, &name, PaSERVICE_TYPE, &type, PaSERVICE_START, &start,
                                              PaSERVICE_PROCESS_LIST, &members.list, 0);
    Service service{Text(name), static_cast<ServiceType>(type), static_cast<ServiceStart>(start), {}};
    if (read != PaSUCCESS) {
        Throw("cannot read a service record", read);
    }
    for (auto *entry = static_cast<PaServProcess *>(PaListGetHead(members.list)); entry != nullptr;
         entry       = static_cast<PaServProcess *>(PaListGetNext(entry))) {
        Member member{FromC(entry->process), {}};
        if (entry->kind == PaVALUE_INTEGER) {
            member.value = entry->value.intValue;
        } else if (entry->kind == PaVALUE_TEXT) {
            member.value = std::string(entry->value.textValue != nullptr ? entry->value.textValue : "");
        }
        service.members.push_back(std::move(member));
    }
    return service;
}

inline CHost ToC(const Route &route)
{
    CHost host(PaHostCreate(route.host.c_str(), route.server.c_str()));
    if (!host) {
        Throw("cannot build route " + route.host, PaFAILURE);
    }
    return host;
}

inline Route FromC(const PaHost *c) { return {Text(PaHostGetHostName(c)), Text(PaHostGetServerName(c))}; }

inline Event FromC(const PaEvent *c)
{
    Event event;
    std::int32_t kind = 0;
    char *texts[5]    = {};
    PaEventGetAttribute(c, PaEVENT_CURSOR, &event.cursor, PaEVENT_TIME_MS, &event.time_ms, PaEVENT_LOST, &event.lost,
                        PaEVENT_KIND, &kind, PaEVENT_PID, &event.pid, PaEVENT_STATUS, &event.status, PaEVENT_SIGNAL,
                        &event.signal, PaEVENT_PROCESS, &texts[0], PaEVENT_SERVICE, &texts[1], PaEVENT_HOST, &texts[2],
                        PaEVENT_MESSAGE, &texts[3], PaEVENT_USER, &texts[4], 0);
    event.kind    = static_cast<EventKind>(kind);
    event.process = Optional(texts[0]);
    event.service = Optional(texts[1]);
    event.host    = Optional(texts[2]);
    event.message = Optional(texts[3]);
    event.user    = Optional(texts[4]);
    return event;
}

// A health word the agent sent that this client does not know reads as none.
inline ProcessHealth FromC(const PaHealth *c)
{
    char *texts[5] = {};
    PaHealthGetAttribute(c, PaHEALTH_NAME, &texts[0], PaHEALTH_HOST, &texts[1], PaHEALTH_STATE, &texts[2],
                         PaHEALTH_OUTPUT, &texts[3], PaHEALTH_STATUS_TEXT, &texts[4], 0);
    const std::optional<std::string> state = Optional(texts[2]);
    return {Text(texts[0]), Text(texts[1]), state ? HealthNamed(*state) : std::nullopt, Text(texts[3]), Text(texts[4])};
}

// An exit status or signal of -1 is none.
inline ProcessStats FromC(const PaStats *c)
{
    char *texts[2] = {};
    ProcessStats stats;
    std::int32_t status = -1;
    std::int32_t signal = -1;
    PaStatsGetAttribute(c, PaSTATS_NAME, &texts[0], PaSTATS_HOST, &texts[1], PaSTATS_STATE, &stats.state, PaSTATS_PID,
                        &stats.pid, PaSTATS_STARTED_AT, &stats.started_at, PaSTATS_UPTIME, &stats.uptime_seconds,
                        PaSTATS_RESTARTS, &stats.restarts, PaSTATS_LAST_EXIT_STATUS, &status, PaSTATS_LAST_EXIT_SIGNAL,
                        &signal, PaSTATS_CPU_USER, &stats.cpu_user_seconds, PaSTATS_CPU_SYSTEM,
                        &stats.cpu_system_seconds, PaSTATS_MEMORY, &stats.memory_bytes, PaSTATS_THREADS, &stats.threads,
                        PaSTATS_DESCRIPTORS, &stats.descriptors, 0);
    stats.name = Text(texts[0]);
    stats.host = Text(texts[1]);
    if (status >= 0) {
        stats.last_exit_status = status;
    }
    if (signal >= 0) {
        stats.last_exit_signal = signal;
    }
    return stats;
}

// The records of a fetched list, converted.
template <class Value, class Record>
std::vector<Value> Values(const PaList *list)
{
    std::vector<Value> values;
    for (auto *record = static_cast<const Record *>(PaListGetHead(list)); record != nullptr;
         record       = static_cast<const Record *>(PaListGetNext(record))) {
        values.push_back(FromC(record));
    }
    return values;
}

// A C list of new list-element services and routes, for the configuration file writers.
inline void AppendServices(PaList *list, const std::vector<Service> &services)
{
    for (const Service &s : services) {
        PaService *service = PaServiceAllocElement();
        if (service == nullptr) {
            Throw("out of memory", PaFAILURE);
        }
        PaListAddToTail(list, service);
        if (PaServiceSetAttribute(service, PaSERVICE_NAME, s.name.c_str(), PaSERVICE_TYPE,
                                  static_cast<std::int32_t>(s.type), PaSERVICE_START,
                                  static_cast<std::int32_t>(s.start), 0) != PaSUCCESS) {
            Throw("cannot build service " + s.name, PaFAILURE);
        }
        for (const Member &member : s.members) {
            AddMember(service, member);
        }
    }
}

inline void AppendRoutes(PaList *list, const std::vector<Route> &routes)
{
    for (const Route &route : routes) {
        PaHost *host = PaHostAllocElement(route.host.c_str(), route.server.c_str());
        if (host == nullptr) {
            Throw("out of memory", PaFAILURE);
        }
        PaListAddToTail(list, host);
    }
}

// The retry callback of a connection, kept where the C API can reach it however the
// Connection object moves.
struct Callbacks {
    std::function<bool()> retry;
};

inline std::int32_t Retry(PaConnection *, void *data)
{
    try {
        return static_cast<Callbacks *>(data)->retry() ? 1 : 0;
    } catch (...) {
        return 0;  // nothing may cross the C boundary: a failing callback asks for no repeat
    }
}

}  // namespace detail

// Sends every log message that passes the threshold to logger (level, text), or back to the
// standard error stream when logger is empty. Process-wide, like the C log settings.
inline void SetLogger(std::function<void(std::int32_t level, std::string_view text)> logger)
{
    static std::function<void(std::int32_t, std::string_view)> installed;
    installed = std::move(logger);
    if (!installed) {
        PaRemoveUserLogFunc();
        return;
    }
    PaSetUserLoggerFunc(
        [](std::int32_t level, const char *text, const char *, void *data) {
            try {
                (*static_cast<std::function<void(std::int32_t, std::string_view)> *>(data))(level, text);
            } catch (...) {
                // A logger that throws loses its message, never the caller's call.
            }
        },
        nullptr, &installed);
}

// Sets the message threshold (PaMSG_DEBUG .. PaMSG_FATAL_ERROR).
inline void SetLogLevel(std::int32_t level) { PaSetMsgLogLevel(level); }

struct Options {
    std::string application = "agentclient";
    std::string host_name{};           // sent as the client's host; empty: this machine's name
    std::chrono::seconds timeout{30};  // how long a reply may take
    std::function<bool()> retry;       // asked whether a request the agent failed is sent again
};

// A connection to one agent: connected by its constructor, closed and released by its
// destructor. Move-only.
class Connection {
public:
    Connection(const std::string &server, const std::string &user, const std::string &password, Options options = {})
        : server_(server), callbacks_(std::make_unique<detail::Callbacks>())
    {
        handle_ = PaConnectCreate(server.c_str(), options.application.c_str(), user.c_str(), password.c_str());
        if (handle_ == nullptr) {
            detail::Throw("cannot create a connection to " + server, PaCONNECT_FAILED);
        }
        try {
            if (!options.host_name.empty() && PaConnectSetHostName(handle_, options.host_name.c_str()) != PaSUCCESS) {
                detail::Throw("cannot set the host name of the connection to " + server, PaCONNECT_FAILED);
            }
            SetTimeout(options.timeout);
            SetRetry(std::move(options.retry));
            Check(PaConnect(handle_), "cannot connect to " + server);
        } catch (...) {
            PaConnectDestroy(handle_);
            throw;
        }
    }
    ~Connection()
    {
        if (handle_ != nullptr) {
            PaDisconnect(handle_, 0);
            PaConnectDestroy(handle_);
        }
    }
    Connection(Connection &&other) noexcept
        : server_(std::move(other.server_)), handle_(std::exchange(other.handle_, nullptr)),
          callbacks_(std::move(other.callbacks_))
    {
    }
    Connection &operator=(Connection &&other) noexcept
    {
        if (this != &other) {
            Connection gone(std::move(*this));
            server_    = std::move(other.server_);
            handle_    = std::exchange(other.handle_, nullptr);
            callbacks_ = std::move(other.callbacks_);
        }
        return *this;
    }
    Connection(const Connection &)            = delete;
    Connection &operator=(const Connection &) = delete;

    const std::string &Server() const { return server_; }
    // The C handle, still owned by this object.
    PaConnection *Native() const { return handle_; }

    // Gives up the call another thread makes on this connection, and every later one (see
    // PaConnectAbandon): that call throws, out of time, within about a second. Safe from any thread.
    void Abandon() { PaConnectAbandon(handle_); }

    // Connection health.
    bool ValidAndOpen() const { return PaConnectValidAndOpen(handle_) == PaSUCCESS; }
    void Reconnect() { Check(PaReconnect(handle_), "cannot reconnect to " + server_); }
    void SetTimeout(std::chrono::seconds timeout)
    {
        Check(PaSetResultsTimeOut(handle_, static_cast<std::int32_t>(timeout.count())), "cannot set the time-out");
    }
    std::chrono::seconds Timeout() const { return std::chrono::seconds(PaGetResultsTimeOut(handle_)); }
    void SetRetry(std::function<bool()> retry)
    {
        callbacks_->retry = std::move(retry);
        PaInstallRetryCB(handle_, callbacks_->retry ? &detail::Retry : nullptr, callbacks_.get());
    }
    void SetDiagnostics(bool on) { on ? PaEnableAdvancedDiag(handle_) : PaDisableAdvancedDiag(handle_); }
    std::int32_t LastErrorClass() const { return PaServerGetLastError(handle_); }
    std::optional<ServerMessage> LastMessage() const
    {
        PaServerMessage message{};
        if (PaServerGetLastMessage(handle_, &message) != PaSUCCESS) {
            return std::nullopt;
        }
        return ServerMessage{message.number, message.severity, message.text};
    }

    // The agent as a whole.
    // Asks the agent to stop; stop_argument is the agent's (paagentd: non-zero stops its processes).
    void StopAgent(std::int32_t stop_argument) { Check(PaStopPA(handle_, stop_argument), "cannot stop the agent"); }
    void StopAllProcesses() { Check(PaStopProcesses(handle_), "cannot stop the agent's processes"); }
    void StartAllProcesses() { Check(PaStartProcesses(handle_), "cannot start the agent's processes"); }
    void SetDebugLevel(std::int32_t level)
    {
        Check(PaServerChangeDebugLevel(handle_, level), "cannot set the agent's debug level");
    }
    std::int32_t DebugLevel()
    {
        std::int32_t level = 0;
        Check(PaServerGetDebugLevel(handle_, &level), "cannot read the agent's debug level");
        return level;
    }
    Version GetVersion()
    {
        Version version;
        Check(PaServerGetVersionNo(handle_, &version.major, &version.minor), "cannot read the agent's version");
        return version;
    }
    void GenerateNotification() { Check(PaServerGenerateNotification(handle_), "cannot generate a notification"); }
    // This connection's login as the agent sees it.
    Login WhoAmI()
    {
        char *user = nullptr;
        char *role = nullptr;
        char *uids = nullptr;
        Check(PaServerWhoAmI(handle_, &user, &role, &uids), "cannot ask the agent who the login is");
        const detail::CText owned[] = {detail::CText(user), detail::CText(role), detail::CText(uids)};
        return Login{owned[0].get(), owned[1].get(), owned[2].get()};
    }

    // Processes.
    // Starts the process; with a time-out the agent watches it that long before it answers.
    void Start(const Process &process, std::int32_t timeout = 0)
    {
        Check(PaProcessStartWithTimeOut(handle_, detail::ToC(process).get(), timeout),
              "cannot start process " + process.name);
    }
    void StartWithArgs(const Process &process, const std::string &arguments)
    {
        Check(PaProcessStartWithArgs(handle_, detail::ToC(process).get(), arguments.c_str()),
              "cannot start process " + process.name);
    }
    void ForwardState(const Process &process, std::int32_t state)
    {
        Check(PaProcessForwardStateRequest(handle_, detail::ToC(process).get(), state),
              "cannot forward a state request for process " + process.name);
    }
    void Stop(const Process &process)
    {
        Check(PaProcessStop(handle_, detail::ToC(process).get()), "cannot stop process " + process.name);
    }
    void Signal(const Process &process, std::int32_t signal)
    {
        Check(PaProcessSignal(handle_, detail::ToC(process).get(), signal), "cannot signal process " + process.name);
    }
    ProcessStatus Status(const Process &process)
    {
        ProcessStatus status;
        status.state = PaProcessStatus(handle_, detail::ToC(process).get(), &status.pid);
        if (status.state == PaPROCESS_STATUS_FAILED) {
            Check(PaFAILURE, "cannot read the status of process " + process.name);
        }
        return status;
    }
    // Replaces the definition of the process called name by process.
    void Change(const std::string &name, const Process &process)
    {
        Check(PaProcessChange(handle_, name.c_str(), detail::ToC(process).get()), "cannot change process " + name);
    }
    // Every process the agent knows, or (all false) those the agent's selection without it gives.
    std::vector<Process> Processes(bool all = true)
    {
        detail::ListOwner<PaProcessListFree> list;
        Check(PaProcessGetList(handle_, &list.list, all ? 1 : 0), "cannot list the agent's processes");
        return detail::Values<Process, PaProcess>(list.list);
    }

    // Services.
    void Add(const Service &service)
    {
        Check(PaServiceAdd(handle_, detail::ToC(service).get()), "cannot add service " + service.name);
    }
    void Start(const Service &service)
    {
        Check(PaServiceStart(handle_, detail::ToC(service).get()), "cannot start service " + service.name);
    }
    void Change(const std::string &name, const Service &service)
    {
        Check(PaServiceChange(handle_, name.c_str(), detail::ToC(service).get()), "cannot change service " + name);
    }
    void Stop(const Service &service)
    {
        Check(PaServiceStop(handle_, detail::ToC(service).get()), "cannot stop service " + service.name);
    }
    void Remove(const Service &service)
    {
        Check(PaServiceRemove(handle_, detail::ToC(service).get()), "cannot remove service " + service.name);
    }
    // The agent's state for the service.
    std::int32_t Status(const Service &service)
    {
        std::int32_t state = PaServiceStatus(handle_, detail::ToC(service).get());
        if (state == PaSERVICE_STATUS_FAILED) {
            Check(PaFAILURE, "cannot read the status of service " + service.name);
        }
        return state;
    }
    std::vector<Service> Services(bool all = true)
    {
        detail::ListOwner<PaServiceListFree> list;
        Check(PaServiceGetList(handle_, &list.list, all ? 1 : 0), "cannot list the agent's services");
        return detail::Values<Service, PaService>(list.list);
    }

    // Output and events, by cursor (see PaProcessOutputRead and PaEventWait): each call waits at
    // most wait, within the connection's time-out, for something after cursor (-1: the end).

    // The output of the process (by name and host) after cursor, or its last tail_lines lines.
    Output ReadOutput(const Process &process, std::int64_t cursor, std::int32_t tail_lines, std::chrono::seconds wait)
    {
        Output output;
        output.cursor      = cursor;
        char *text         = nullptr;
        std::size_t length = 0;
        Check(PaProcessOutputRead(handle_, detail::ToC(process).get(), &output.cursor, tail_lines,
                                  static_cast<std::int32_t>(wait.count()), &text, &length, &output.lost),
              "cannot read the output of process " + process.name);
        detail::CText owned(text);
        output.data.assign(text, length);
        return output;
    }
    // The events of the agent (or of the agent that serves host) after cursor.
    EventBatch WaitEvents(std::int64_t cursor, std::chrono::seconds wait, const std::string &host = {})
    {
        EventBatch batch;
        batch.cursor = cursor;
        detail::ListOwner<PaEventListFree> list;
        Check(PaEventWaitForHost(handle_, host.c_str(), &batch.cursor, static_cast<std::int32_t>(wait.count()),
                                 &list.list),
              "cannot read the events of " + (host.empty() ? server_ : "host " + host));
        batch.events = detail::Values<Event, PaEvent>(list.list);
        return batch;
    }
    // The readiness and health of the process called name of host, or of every process of the
    // agent that serves host (this one for an empty host) for an empty name. An agent without
    // health throws an Error whose code is PaNOT_SUPPORTED.
    std::vector<ProcessHealth> Health(const std::string &name = {}, const std::string &host = {})
    {
        detail::ListOwner<PaHealthListFree> list;
        Check(PaProcessGetHealth(handle_, name.c_str(), host.c_str(), &list.list),
              "cannot read the health of " + (name.empty() ? "the processes" : "process " + name));
        return detail::Values<ProcessHealth, PaHealth>(list.list);
    }
    // The resource figures of the process called name of host, or of every process of the agent
    // that serves host (this one for an empty host) for an empty name. An agent without them
    // throws an Error whose code is PaNOT_SUPPORTED.
    std::vector<ProcessStats> Stats(const std::string &name = {}, const std::string &host = {})
    {
        detail::ListOwner<PaStatsListFree> list;
        Check(PaProcessGetStats(handle_, name.c_str(), host.c_str(), &list.list),
              "cannot read the figures of " + (name.empty() ? "the processes" : "process " + name));
        return detail::Values<ProcessStats, PaStats>(list.list);
    }
    // Follows the process's output from cursor (-1: its last tail_lines lines), handing each
    // piece that comes to each_piece until it returns false; returns the cursor to go on from.
    std::int64_t FollowOutput(const Process &process, std::int64_t cursor, std::int32_t tail_lines,
                              const std::function<bool(const Output &)> &each_piece)
    {
        for (;;) {
            Output output = ReadOutput(process, cursor, tail_lines, FollowWait());
            cursor        = output.cursor;
            if ((!output.data.empty() || output.lost != 0) && !each_piece(output)) {
                return cursor;
            }
        }
    }
    // Follows the events after cursor (-1: from now on), handing each to each_event until it
    // returns false; returns the cursor of the last event handed.
    std::int64_t FollowEvents(std::int64_t cursor, const std::function<bool(const Event &)> &each_event,
                              const std::string &host = {})
    {
        for (;;) {
            EventBatch batch = WaitEvents(cursor, FollowWait(), host);
            for (const Event &event : batch.events) {
                if (!each_event(event)) {
                    return event.cursor;
                }
            }
            cursor = batch.cursor;
        }
    }

    // Routes.
    std::vector<Route> Routes(std::int32_t fetch_argument = 0)
    {
        detail::ListOwner<PaHostListDestroy> list;
        Check(PaHostGetList(handle_, &list.list, fetch_argument), "cannot list the agent's routes");
        return detail::Values<Route, PaHost>(list.list);
    }
    void Add(const Route &route)
    {
        Check(PaHostAdd(handle_, detail::ToC(route).get()), "cannot add the route of " + route.host);
    }
    void Remove(const Route &route)
    {
        Check(PaHostRemove(handle_, detail::ToC(route).get()), "cannot remove the route of " + route.host);
    }

private:
    // A follower's wait: as long as the connection's time-out allows, so that it asks seldom.
    std::chrono::seconds FollowWait() const { return std::min(Timeout(), std::chrono::seconds(60)); }

    // Throws Error for any code but PaSUCCESS, with the agent's reason when it gave one.
    void Check(std::int32_t code, const std::string &what) const
    {
        if (code == PaSUCCESS) {
            return;
        }
        std::string reason;
        if (auto message = LastMessage(); message && message->severity > 10) {
            reason = message->text;
        }
        throw Error(reason.empty() ? what : what + ": " + reason, code, LastErrorClass(), reason,
                    PaServerTimedOut(handle_) == 1);
    }

    std::string server_;
    PaConnection *handle_ = nullptr;
    std::unique_ptr<detail::Callbacks> callbacks_;
};

// Reports a process's PID and process id to the agent of server over a connection of its own.
inline void Inform(const std::string &server, std::int32_t pid, std::int32_t process_id)
{
    std::int32_t code = PaInformPA(server.c_str(), pid, process_id);
    if (code != PaSUCCESS) {
        detail::Throw("cannot report process " + std::to_string(process_id) + " to " + server, code);
    }
}

// Writes a whole agent configuration file (services with their member processes, and the
// routes) to stream through the library's writers.
inline void WriteConfiguration(std::FILE *stream, const std::vector<Service> &services,
                               const std::vector<Route> &routes)
{
    detail::ListOwner<PaServiceListFree> service_list{PaListCreate()};
    detail::ListOwner<PaHostListDestroy> route_list{PaListCreate()};
    if (service_list.list == nullptr || route_list.list == nullptr) {
        detail::Throw("out of memory", PaFAILURE);
    }
    detail::AppendServices(service_list.list, services);
    detail::AppendRoutes(route_list.list, routes);
    if (PaWriteFileHeaders(stream) != PaSUCCESS ||
        PaWriteKnownServiceProcesses(service_list.list, stream) != PaSUCCESS ||
        PaWriteKnownServices(service_list.list, stream) != PaSUCCESS ||
        PaWriteKnownHosts(route_list.list, stream) != PaSUCCESS) {
        detail::Throw("cannot write the configuration", PaFAILURE);
    }
}

}  // namespace agentclient

#endif
