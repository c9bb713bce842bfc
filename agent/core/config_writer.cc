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

[[noreturn]] void fail(const std::string &what) { throw std::runtime_error(what); }

// Shows text in a message with a zero byte as \0, so that the message is not cut short there.
std::string shown(std::string_view text)
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
void require_writable(const std::string &record, const std::string &attribute, std::string_view text)
{
    if (!config::Writable(text)) {
        fail("cannot save " + record + ": its " + attribute +
             " holds a zero byte, which the configuration file cannot carry");
    }
}

void require_writable(const ProcessSpec &process)
{
    const std::string record = "process '" + shown(process.name) + "'";
    require_writable(record, "name", process.name);
    require_writable(record, "host", process.host);
    require_writable(record, "command", process.command);
    require_writable(record, "restart message", process.restart_message.value_or(""));
    require_writable(record, "alert message", process.alert_message.value_or(""));
}

// Checks every text before anything is built or written, so that a refused save writes nothing.
void require_writable(const Definitions &definitions)
{
    for (const auto &service : definitions.services) {
        const std::string record = "service '" + shown(service.name) + "'";
        require_writable(record, "name", service.name);
        for (const auto &member : service.members) {
            require_writable(member.process);
            if (const auto *text = std::get_if<std::string>(&member.value)) {
                require_writable(record, "value for process '" + shown(member.process.name) + "'", *text);
            }
        }
    }
    for (const auto &route : definitions.routes) {
        const std::string record = "route '" + shown(route.host) + "' to '" + shown(route.server) + "'";
        require_writable(record, "host name", route.host);
        require_writable(record, "server name", route.server);
    }
}

const char *text_or_none(const std::optional<std::string> &text) { return text ? text->c_str() : nullptr; }

PaProcess *make_process(const ProcessSpec &definition)
{
    PaProcess *process = PaVaProcessCreate(
        definition.name.c_str(), PaPROCESS_HOSTNAME, definition.host.c_str(), PaPROCESS_COMMAND,
        definition.command.c_str(), PaPROCESS_EUID, definition.euid, PaPROCESS_MANAGED,
        std::int32_t{definition.managed ? 1 : 0}, PaPROCESS_RESTART_MSG, text_or_none(definition.restart_message),
        PaPROCESS_ALERT_MSG, text_or_none(definition.alert_message), PaPROCESS_RETRY_COUNT, definition.retry_count,
        PaPROCESS_TYPE, static_cast<std::int32_t>(definition.type), 0);
    if (process == nullptr)
        fail("cannot build process " + definition.name);
    return process;
}

void add_member(PaService *service, const ServiceMember &member)
{
    PaServProcess entry{};
    entry.process = make_process(member.process);
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
        if (entry.kind == PaVALUE_TEXT)
            PaFree(entry.value.textValue);
        fail("cannot add process " + member.process.name + " to service");
    }
}

ServiceList make_services(const std::vector<ServiceSpec> &specs)
{
    ServiceList list(PaListCreate());
    if (!list)
        fail("out of memory");
    for (const auto &definition : specs) {
        PaService *service = PaServiceAllocElement();
        if (service == nullptr)
            fail("out of memory");
        PaListAddToTail(list.get(), service);
        if (PaServiceSetAttribute(service, PaSERVICE_NAME, definition.name.c_str(), PaSERVICE_TYPE, definition.type,
                                  PaSERVICE_START, definition.start, 0) != PaSUCCESS) {
            fail("cannot build service " + definition.name);
        }
        for (const auto &member : definition.members)
            add_member(service, member);
    }
    return list;
}

HostList make_hosts(const std::vector<Route> &routes)
{
    HostList list(PaListCreate());
    if (!list)
        fail("out of memory");
    for (const auto &route : routes) {
        PaHost *host = PaHostAllocElement(route.host.c_str(), route.server.c_str());
        if (host == nullptr)
            fail("out of memory");
        PaListAddToTail(list.get(), host);
    }
    return list;
}

// A stream into memory.
class TextStream {
public:
    TextStream() : stream_(open_memstream(&buffer_, &size_))
    {
        if (stream_ == nullptr)
            fail("out of memory");
    }
    ~TextStream()
    {
        std::fclose(stream_);
        std::free(buffer_);
    }
    TextStream(const TextStream &)            = delete;
    TextStream &operator=(const TextStream &) = delete;

    std::FILE *get() const { return stream_; }
    std::string text()
    {
        if (std::fflush(stream_) != 0)
            fail("out of memory");
        return std::string(buffer_, size_);
    }

private:
    char *buffer_     = nullptr;
    std::size_t size_ = 0;
    std::FILE *stream_;
};

}  // namespace

std::string format_config(const Definitions &definitions)
{
    require_writable(definitions);
    ServiceList services = make_services(definitions.services);
    HostList hosts       = make_hosts(definitions.routes);
    TextStream output;
    std::FILE *stream = output.get();
    if (PaWriteFileHeaders(stream) != PaSUCCESS || PaWriteKnownServiceProcesses(services.get(), stream) != PaSUCCESS ||
        PaWriteKnownServices(services.get(), stream) != PaSUCCESS ||
        PaWriteKnownHosts(hosts.get(), stream) != PaSUCCESS) {
        fail("cannot write the configuration with the client library");
    }
    return output.text();
}

void save_config(const std::filesystem::path &path, const Definitions &definitions)
{
    replace_file(path, format_config(definitions), Durability::SystemCrash);
}

}  // namespace paagent
