#include "support/client.h"

#include <csignal>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::chrono::milliseconds kPollInterval{20};

std::string Text(char *text)
{
    std::string copy = text != nullptr ? text : "-";
    if (text != nullptr) {
        PaFree(text);
    }
    return copy;
}

std::string DescribeProcess(const PaProcess *process)
{
    char *name = nullptr, *host = nullptr, *command = nullptr, *restart = nullptr, *alert = nullptr;
    int32_t euid = 0, managed = 0, retries = 0, type = 0;
    PaProcessGetAttribute(process, PaPROCESS_NAME, &name, PaPROCESS_HOSTNAME, &host, PaPROCESS_COMMAND, &command,
                          PaPROCESS_EUID, &euid, PaPROCESS_MANAGED, &managed, PaPROCESS_RETRY_COUNT, &retries,
                          PaPROCESS_TYPE, &type, PaPROCESS_RESTART_MSG, &restart, PaPROCESS_ALERT_MSG, &alert, 0);
    std::ostringstream line;
    line << Text(name) << " @" << Text(host) << " [" << Text(command) << "] euid " << euid << " managed " << managed
         << " retries " << retries << " type " << type << " restart [" << Text(restart) << "] alert [" << Text(alert)
         << "]";
    return line.str();
}

}  // namespace

Handle OpenHandle(const AgentProcess &agent)
{
    Handle handle(PaConnectCreate(agent.Name().c_str(), "e2e-test", AgentProcess::kUser, AgentProcess::kPassword));
    if (handle != nullptr) {
        PaConnect(handle.get());
    }
    return handle;
}

int32_t TryLogin(const AgentProcess &agent, const char *user, const char *password)
{
    Handle handle(PaConnectCreate(agent.Name().c_str(), "e2e-test", user, password));
    return handle != nullptr ? PaConnect(handle.get()) : PaFAILURE;
}

Process MakeProcess(const std::string &name, const std::string &command, const ProcessSettings &settings)
{
    return Process(PaVaProcessCreate(name.c_str(), PaPROCESS_HOSTNAME, kHost, PaPROCESS_COMMAND, command.c_str(),
                                     PaPROCESS_EUID, static_cast<int32_t>(getuid()), PaPROCESS_MANAGED,
                                     settings.managed, PaPROCESS_RETRY_COUNT, settings.retries, PaPROCESS_TYPE,
                                     settings.type, PaPROCESS_RESTART_MSG, settings.restart_message,
                                     PaPROCESS_ALERT_MSG, settings.alert_message, 0));
}

Service MakeService(const std::string &name, int32_t type, int32_t start, std::vector<Member> members)
{
    Service service(PaVaServiceCreate(name.c_str(), PaSERVICE_TYPE, type, PaSERVICE_START, start, 0));
    for (auto &member : members) {
        PaServProcess entry{};
        entry.process = member.process.get();
        entry.kind    = member.kind;
        if (member.kind == PaVALUE_TEXT) {
            entry.value.textValue = PaStrDup(member.text.c_str());  // taken over by the service
        } else {
            entry.value.intValue = member.number;
        }
        if (PaServiceAddProcess(service.get(), &entry, 1) != PaSUCCESS) {
            return nullptr;
        }
    }
    return service;
}

ProcessStatus StatusOf(PaConnection *handle, const PaProcess *process)
{
    ProcessStatus status;
    status.state = PaProcessStatus(handle, process, &status.pid);
    return status;
}

ProcessStatus AwaitStatus(PaConnection *handle, const PaProcess *process,
                          const std::function<bool(const ProcessStatus &)> &done)
{
    ProcessStatus status;
    Eventually([&] {
        status = StatusOf(handle, process);
        return done(status);
    });
    return status;
}

bool Eventually(const std::function<bool()> &condition)
{
    auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    return true;
}

std::string Describe(const PaService *service)
{
    char *name   = nullptr;
    int32_t type = 0, start = 0;
    PaList *members = nullptr;
    PaServiceGetAttribute(service, PaSERVICE_NAME, &name, PaSERVICE_TYPE, &type, PaSERVICE_START, &start,
                          PaSERVICE_PROCESS_LIST, &members, 0);
    std::ostringstream text;
    text << "service " << Text(name) << " type " << type << " start " << start << "\n";
    for (auto *member = static_cast<PaServProcess *>(PaListGetHead(members)); member != nullptr;
         member       = static_cast<PaServProcess *>(PaListGetNext(member))) {
        text << "  member kind " << member->kind << " value ";
        if (member->kind == PaVALUE_TEXT) {
            text << "'" << member->value.textValue << "'";
        } else {
            text << member->value.intValue;
        }
        text << ": " << DescribeProcess(member->process) << "\n";
    }
    PaServiceProcessListDestroy(members);
    return text.str();
}

namespace {

// The records of a fetched list, described one after the other; "failed: CODE" when the fetch
// fails.
template <class Record, class ReleaseFn, class DescribeFn>
std::string FetchList(int32_t result, PaList *list, ReleaseFn release, DescribeFn describe)
{
    if (result != PaSUCCESS) {
        return "failed: " + std::to_string(result);
    }
    std::string text;
    for (auto *record = static_cast<Record *>(PaListGetHead(list)); record != nullptr;
         record       = static_cast<Record *>(PaListGetNext(record))) {
        text += describe(record);
    }
    release(list);
    return text;
}

}  // namespace

std::string FetchServices(PaConnection *handle, int32_t selector)
{
    PaList *services = nullptr;
    int32_t result   = PaServiceGetList(handle, &services, selector);
    return FetchList<PaService>(result, services, PaServiceListFree, Describe);
}

std::string FetchHosts(PaConnection *handle, int32_t fetch_argument)
{
    PaList *hosts  = nullptr;
    int32_t result = PaHostGetList(handle, &hosts, fetch_argument);
    return FetchList<PaHost>(result, hosts, PaHostListDestroy, [](PaHost *host) {
        return Text(PaHostGetHostName(host)) + " -> " + Text(PaHostGetServerName(host)) + "\n";
    });
}

std::string FetchProcesses(PaConnection *handle, int32_t selector)
{
    PaList *processes = nullptr;
    int32_t result    = PaProcessGetList(handle, &processes, selector);
    return FetchList<PaProcess>(result, processes, PaProcessListFree,
                                [](PaProcess *process) { return DescribeProcess(process) + "\n"; });
}
