// Writing the configuration file through the client library's writer, atomically.
#include <agentclient/pa.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <protocol/config_text.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/atomic_file.h"
#include "core/config_file.h"

namespace paagent {

namespace {

namespace config = pa::protocol::config;

struct ServiceListDeleter {
    void operator()(PaList *list) const { PaServiceListFree(list); }
};
struct HostListDeleter {
    void operator()(PaList *list) const { PaHostListDestroy(list); }
};
using ServiceList = std::unique_ptr<PaList, ServiceListDeleter>;
using HostList    = std::unique_ptr<PaList, HostListDeleter>;

[[noreturn]] void Fail(const std::string &what) { throw std::runtime_error(what); }

// Shows text in a message with a zero byte as \0, so that the message is not cut short there.
std::string Shown(std::string_view text)
{
    std::string result;
    for (char c : text) {
        if (c == '\0') {
            result += "\\0";
        } else {
            result += c;
        }
    }
    return result;
}

// Refuses a text the file cannot carry, naming the record and the attribute that hold it.
void RequireWritable(const std::string &record, const std::string &attribute, std::string_view text)
{
    if (!config::Writable(text)) {
        Fail("cannot save " + record + ": its " + attribute +
             " holds a zero byte, which the configuration file cannot carry");
    }
}

void RequireWritable(const Process &process)
{
    const std::string record = "process '" + Shown(process.name) + "'";
    RequireWritable(record, "name", process.name);
    RequireWritable(record, "host", process.host);
    RequireWritable(record, "command", process.command);
    RequireWritable(record, "restart message", process.restart_message.value_or(""));
    RequireWritable(record, "alert message", process.alert_message.value_or(""));
}

// Checks every text before anything is built or written, so that a refused save writes nothing.
void RequireWritable(const Definitions &definitions)
{
    for (const auto &service : definitions.services) {
        const std::string record = "service '" + Shown(service.name) + "'";
        RequireWritable(record, "name", service.name);
        for (const auto &member : service.members) {
            RequireWritable(member.process);
            if (const auto *text = std::get_if<std::string>(&member.value)) {
                RequireWritable(record, "value for process '" + Shown(member.process.name) + "'", *text);
            }
        }
    }
    for (const auto &route : definitions.routes) {
        const std::string record = "route '" + Shown(route.host) + "' to '" + Shown(route.server) + "'";
        RequireWritable(record, "host name", route.host);
        RequireWritable(record, "server name", route.server);
    }
}

const char *TextOrNone(const std::optional<std::string> &text) { return text ? text->c_str() : nullptr; }

PaProcess *MakeProcess(const Process &definition)
{
    PaProcess *process = PaVaProcessCreate(
        definition.name.c_str(), PaPROCESS_HOSTNAME, definition.host.c_str(), PaPROCESS_COMMAND,
        definition.command.c_str(), PaPROCESS_EUID, definition.euid, PaPROCESS_MANAGED,
        std::int32_t{definition.managed ? 1 : 0}, PaPROCESS_RESTART_MSG, TextOrNone(definition.restart_message),
        PaPROCESS_ALERT_MSG, TextOrNone(definition.alert_message), PaPROCESS_RETRY_COUNT, definition.retry_count,
        PaPROCESS_TYPE, static_cast<std::int32_t>(definition.type), 0);
    if (process == nullptr) {
        Fail("cannot build process " + definition.name);
    }
    return process;
}

void AddMember(PaService *service, const Member &member)
{
    PaServProcess entry{};
    entry.process = MakeProcess(member.process);
    entry.kind    = PaVALUE_NONE;
    if (const auto *number = std::get_if<std::int32_t>(&member.value)) {
        entry.kind           = PaVALUE_INTEGER;
        entry.value.intValue = *number;
    } else if (const auto *text = std::get_if<std::string>(&member.value)) {
        entry.kind            = PaVALUE_TEXT;
        entry.value.textValue = PaStrDup(text->c_str());
    }
    // On success the service takes over the process and the text.
    if (PaServiceAddProcess(service, &entry, 0) != PaSUCCESS) {
        PaProcessFree(entry.process);
        if (entry.kind == PaVALUE_TEXT) {
            PaFree(entry.value.textValue);
        }
        Fail("cannot add process " + member.process.name + " to service");
    }
}

ServiceList MakeServices(const std::vector<Service> &specs)
{
    ServiceList list(PaListCreate());
    if (!list) {
        Fail("out of memory");
    }
    for (const auto &definition : specs) {
        PaService *service = PaServiceAllocElement();
        if (service == nullptr) {
            Fail("out of memory");
        }
        PaListAddToTail(list.get(), service);
        if (PaServiceSetAttribute(service, PaSERVICE_NAME, definition.name.c_str(), PaSERVICE_TYPE,
                                  static_cast<std::int32_t>(definition.type), PaSERVICE_START,
                                  static_cast<std::int32_t>(definition.start), 0) != PaSUCCESS) {
            Fail("cannot build service " + definition.name);
        }
        for (const auto &member : definition.members) {
            AddMember(service, member);
        }
    }
    return list;
}

HostList MakeHosts(const std::vector<Route> &routes)
{
    HostList list(PaListCreate());
    if (!list) {
        Fail("out of memory");
    }
    for (const auto &route : routes) {
        PaHost *host = PaHostAllocElement(route.host.c_str(), route.server.c_str());
        if (host == nullptr) {
            Fail("out of memory");
        }
        PaListAddToTail(list.get(), host);
    }
    return list;
}

// A stream into memory.
class TextStream {
public:
    TextStream() : stream_(open_memstream(&buffer_, &size_))
    {
        if (stream_ == nullptr) {
            Fail("out of memory");
        }
    }
    ~TextStream()
    {
        std::fclose(stream_);
        std::free(buffer_);
    }
    TextStream(const TextStream &)            = delete;
    TextStream &operator=(const TextStream &) = delete;

    std::FILE *Get() const { return stream_; }
    std::string Text()
    {
        if (std::fflush(stream_) != 0) {
            Fail("out of memory");
        }
        return std::string(buffer_, size_);
    }

private:
    char *buffer_     = nullptr;
    std::size_t size_ = 0;
    std::FILE *stream_;
};

}  // namespace

std::string FormatConfig(const Definitions &definitions)
{
    RequireWritable(definitions);
    ServiceList services = MakeServices(definitions.services);
    HostList hosts       = MakeHosts(definitions.routes);
    TextStream output;
    std::FILE *stream = output.Get();
    if (PaWriteFileHeaders(stream) != PaSUCCESS || PaWriteKnownServiceProcesses(services.get(), stream) != PaSUCCESS ||
        PaWriteKnownServices(services.get(), stream) != PaSUCCESS ||
        PaWriteKnownHosts(hosts.get(), stream) != PaSUCCESS) {
        Fail("cannot write the configuration with the client library");
    }
    return output.Text();
}

void SaveConfig(const std::filesystem::path &path, const Definitions &definitions)
{
    ReplaceFile(path, FormatConfig(definitions), Durability::kSystemCrash);
}

}  // namespace paagent
