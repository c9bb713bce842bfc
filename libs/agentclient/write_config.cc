// The agent's configuration file: writers that each append one piece of it to the caller's
// stream. Every text written between apostrophes is escaped by the file format's rules, byte by
// byte, so that the agent reads back exactly the bytes written, in every locale.
#include "write_config.h"

#include "host.h"
#include "process.h"
#include "records.h"
#include "service.h"

#include <protocol/config_text.h>

#include <cstdarg>
#include <cstdio>
#include <string_view>

namespace {

namespace config = pa::protocol::config;

// One formatted write; false when it wrote nothing.
PA_PRINTF(2, 3) bool Print(FILE *stream, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int written = std::vfprintf(stream, format, args);
    va_end(args);
    return written > 0;
}

// The precision that prints exactly word with "%.*s".
int Width(std::string_view word) { return static_cast<int>(word.size()); }

int32_t WriteFailure()
{
    PaMsgLog(PaMSG_ERROR, "Write Failure.");
    return PaFAILURE;
}

// The word for index in a table, or an empty word when the table has no such entry.
template <size_t N>
std::string_view WordFor(const std::string_view (&words)[N], int32_t index)
{
    return index >= 0 && static_cast<size_t>(index) < N ? words[index] : std::string_view();
}

// A new copy of text escaped for writing between apostrophes; none when memory runs out.
char *EscapedCopy(std::string_view text)
{
    auto *copy = static_cast<char *>(PaMalloc(config::EscapedSize(text) + 1));
    if (copy != nullptr) {
        char *out = copy;
        config::Escape(text, [&out](char c) { *out++ = c; });
        *out = '\0';
    }
    return copy;
}

// An escaped copy of text, or of substitute when the text is absent.
pa::Owned<char> Escaped(const char *text, std::string_view substitute = config::kAbsentText)
{
    return pa::Owned<char>(EscapedCopy(text != nullptr ? std::string_view(text) : substitute));
}

// Calls write on each payload of list, head to tail, until one does not succeed; returns the
// last result.
template <class Payload, class Write>
int32_t WriteEach(const PaList *list, Write write)
{
    for (auto *payload = pa::First<const Payload>(list); payload != nullptr; payload = pa::Next(payload)) {
        int32_t result = write(*payload);
        if (result != PaSUCCESS) {
            return result;
        }
    }
    return PaSUCCESS;
}

int32_t WriteSingleProcess(FILE *stream, const PaProcess &process)
{
    std::string_view managed = WordFor(config::kManagedWords, process.managed);
    std::string_view type    = WordFor(config::kProcessTypeWords, process.type);
    if (managed.empty() || type.empty()) {
        return WriteFailure();
    }
    pa::Owned<char> name    = Escaped(process.name);
    pa::Owned<char> command = Escaped(process.command);
    pa::Owned<char> host    = Escaped(process.host_name);
    pa::Owned<char> restart = Escaped(process.restart_msg);
    pa::Owned<char> alert   = Escaped(process.alert_msg);
    if (name == nullptr || command == nullptr || host == nullptr || restart == nullptr || alert == nullptr) {
        return PaFAILURE;
    }
    bool written = Print(stream, "%s '%s'\n{\n", config::kProcessBlock.data(), name.get()) &&
                   Print(stream, "\t%s '%s' %s %d\n", config::kCommand.data(), command.get(), config::kRunAs.data(),
                         process.euid) &&
                   Print(stream, "\t%s\t\t=\t'%s'\n", config::kHost.data(), host.get()) &&
                   Print(stream, "\t%s\t\t=\t%.*s\n", config::kManaged.data(), Width(managed), managed.data()) &&
                   Print(stream, "\t%s\t=\t'%s'\n", config::kRestartMsg.data(), restart.get()) &&
                   Print(stream, "\t%s\t=\t'%s'\n", config::kAlertMsg.data(), alert.get()) &&
                   Print(stream, "\t%s\t=\t%d\n", config::kRetryCount.data(), process.retry_count) &&
                   Print(stream, "\t%s\t=\t%.*s\n", config::kProcessType.data(), Width(type), type.data());
    if (!written) {
        return WriteFailure();
    }
    Print(stream, "}\n\n");
    return PaSUCCESS;
}

// Members without a process, and members of an unknown kind, have no line.
int32_t WriteMember(FILE *stream, const PaServProcess &member)
{
    if (member.process == nullptr) {
        return PaSUCCESS;
    }
    pa::Owned<char> name = Escaped(member.process->name);
    if (name == nullptr) {
        return PaFAILURE;
    }
    bool written = false;
    switch (member.kind) {
    case PaVALUE_INTEGER:
        written = Print(stream, "\t%s '%s' %ld\n", config::kMember.data(), name.get(),
                        static_cast<long>(member.value.intValue));
        break;
    case PaVALUE_TEXT: {
        pa::Owned<char> text = Escaped(member.value.textValue, "");
        if (text == nullptr) {
            return PaFAILURE;
        }
        written = Print(stream, "\t%s '%s' '%s'\n", config::kMember.data(), name.get(), text.get());
        break;
    }
    case PaVALUE_NONE:
        written = Print(stream, "\t%s '%s' %.*s\n", config::kMember.data(), name.get(), Width(config::kNoMemberValue),
                        config::kNoMemberValue.data());
        break;
    default: return PaSUCCESS;
    }
    return written ? PaSUCCESS : WriteFailure();
}

int32_t WriteHost(FILE *stream, const PaHost &entry)
{
    pa::Owned<char> host   = Escaped(entry.host_name);
    pa::Owned<char> server = Escaped(entry.server_name);
    if (host == nullptr || server == nullptr) {
        return PaFAILURE;
    }
    return Print(stream, "\t%s '%s' '%s'\n", config::kRoute.data(), host.get(), server.get()) ? PaSUCCESS
                                                                                              : WriteFailure();
}

}  // namespace

char *PaEscapeQuotes(const char *text) { return text != nullptr ? EscapedCopy(text) : nullptr; }

extern "C" {

int32_t PaWriteFileHeaders(FILE *stream)
{
    if (stream == nullptr) {
        return PaFAILURE;
    }
    Print(stream, "%.*s\n#\n", Width(config::kMagic), config::kMagic.data());
    Print(stream, "# Process Agent Daemon Configuration File 1.1\n#\n");
    return PaSUCCESS;
}

int32_t PaWriteProcesses(FILE *stream, const PaList *members)
{
    if (stream == nullptr || members == nullptr) {
        return PaFAILURE;
    }
    return WriteEach<PaServProcess>(members, [stream](const PaServProcess &member) {
        return member.process != nullptr ? WriteSingleProcess(stream, *member.process) : PaSUCCESS;
    });
}

int32_t PaWriteKnownServiceProcesses(const PaList *services, FILE *stream)
{
    if (services == nullptr || stream == nullptr) {
        return PaFAILURE;
    }
    Print(stream, "\n#\n# List of processes\n#\n");
    return WriteEach<PaService>(
        services, [stream](const PaService &service) { return PaWriteProcesses(stream, service.members); });
}

int32_t PaWriteSingleService(FILE *stream, const PaService *service)
{
    if (stream == nullptr || service == nullptr) {
        return PaFAILURE;
    }
    pa::Owned<char> name = Escaped(service->name);
    if (name == nullptr) {
        return PaFAILURE;
    }
    Print(stream, "%s '%s'\n{\n", config::kServiceBlock.data(), name.get());
    std::string_view type  = config::kServiceTypeWords[service->type == PaSERVICE_MASTER ? 0 : 1];
    std::string_view start = config::kServiceStartWords[service->start == PaSERVICE_AUTO ? 0 : 1];
    Print(stream, "\t%s\t=\t%.*s\n", config::kServiceType.data(), Width(type), type.data());
    Print(stream, "\t%s\t=\t%.*s\n", config::kServiceStart.data(), Width(start), start.data());
    int32_t result = WriteEach<PaServProcess>(
        service->members, [stream](const PaServProcess &member) { return WriteMember(stream, member); });
    if (result == PaSUCCESS) {
        Print(stream, "}\n\n");
    }
    return result;
}

int32_t PaWriteKnownServices(const PaList *services, FILE *stream)
{
    if (services == nullptr || stream == nullptr) {
        return PaFAILURE;
    }
    Print(stream, "\n#\n# List of Services\n#\n");
    return WriteEach<PaService>(services,
                                [stream](const PaService &service) { return PaWriteSingleService(stream, &service); });
}

int32_t PaWriteKnownHosts(const PaList *hosts, FILE *stream)
{
    if (hosts == nullptr || stream == nullptr) {
        return PaFAILURE;
    }
    Print(stream, "\n#\n# ROUTING TABLE\n#\n");
    Print(stream, "%s\n{\n", config::kRoutingBlock.data());
    int32_t result = WriteEach<PaHost>(hosts, [stream](const PaHost &entry) { return WriteHost(stream, entry); });
    if (result == PaSUCCESS) {
        Print(stream, "}\n\n");
    }
    return result;
}

}  // extern "C"
