// Writing the configuration file through the client library's writer, atomically.
#include <agentclient/agentclient.hpp>

#include <cstdio>
#include <cstdlib>
#include <protocol/config_text.h>
#include <stdexcept>

#include "config/atomic_file.h"
#include "config/config_file.h"

namespace agentclient::config {

namespace {

namespace format = pa::protocol::config;

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
    if (!format::Writable(text)) {
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

// Checks every text before anything is built or written, so that a refused save writes nothing:
// the library's records hold C strings, which would end a text at its zero byte.
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
    TextStream output;
    WriteConfiguration(output.Get(), definitions.services, definitions.routes);
    return output.Text();
}

void SaveConfig(const std::filesystem::path &path, const Definitions &definitions)
{
    ReplaceFile(path, FormatConfig(definitions), Durability::kSystemCrash);
}

}  // namespace agentclient::config
