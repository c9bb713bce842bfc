// The agent's configuration file: writers that each append one piece of it to the caller's
// stream. Every text written between apostrophes has its apostrophes escaped.
#include "write_config.h"

#include "host.h"
#include "process.h"
#include "records.h"
#include "service.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *kManagedWords[] = {"False", "True"};
constexpr const char *kProcessTypeWords[] = {"PaDAEMON_PROCESS", "PaPA_AWARE", "PaNOT_PA_AWARE"};
// Written between the apostrophes of an absent text.
constexpr const char *kBlank = " ";
constexpr size_t kNotConverted = static_cast<size_t>(-1);

// One formatted write; false when it wrote nothing.
PA_PRINTF(2, 3) bool Print(FILE *stream, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int written = std::vfprintf(stream, format, args);
    va_end(args);
    return written > 0;
}

int32_t WriteFailure()
{
    PaMsgLog(PaMSG_ERROR, "Write Failure.");
    return PaFAILURE;
}

// The word for index in a table, or none when the table has no such entry.
template <size_t N>
const char *WordFor(const char *const (&words)[N], int32_t index)
{
    return index >= 0 && static_cast<size_t>(index) < N ? words[index] : nullptr;
}

// Copies text to out, which has room for it escaped, with a backslash before each apostrophe.
template <class Char>
void EscapeInto(const Char *text, Char *out)
{
    for (; *text != Char(0); ++text) {
        if (*text == Char('\'')) {
            *out++ = Char('\\');
        }
        *out++ = *text;
    }
    *out = Char(0);
}

template <class Char>
Char *NewText(size_t length)
{
    return static_cast<Char *>(PaMalloc((length + 1) * sizeof(Char)));
}

// In every ASCII-compatible character set this gives what the character scan gives.
char *EscapeBytes(const char *text)
{
    size_t length = std::strlen(text);
    char *escaped = NewText<char>(length + static_cast<size_t>(std::count(text, text + length, '\'')));
    if (escaped != nullptr) {
        EscapeInto(text, escaped);
    }
    return escaped;
}

// An escaped copy of text, or of substitute when the text is absent.
pa::Owned<char> Escaped(const char *text, const char *substitute = kBlank)
{
    return pa::Owned<char>(PaEscapeQuotes(text != nullptr ? text : substitute));
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
    const char *managed = WordFor(kManagedWords, process.managed);
    const char *type = WordFor(kProcessTypeWords, process.type);
    if (managed == nullptr || type == nullptr) {
        return WriteFailure();
    }
    pa::Owned<char> name = Escaped(process.name);
    pa::Owned<char> command = Escaped(process.command);
    pa::Owned<char> host = Escaped(process.hostName);
    pa::Owned<char> restart = Escaped(process.restartMsg);
    pa::Owned<char> alert = Escaped(process.alertMsg);
    if (name == nullptr || command == nullptr || host == nullptr || restart == nullptr || alert == nullptr) {
        return PaFAILURE;
    }
    bool written = Print(stream, "%s '%s'\n{\n", "zeb_process", name.get()) &&
                   Print(stream, "\t%s '%s' %s %d\n", "Command", command.get(), "run as", process.euid) &&
                   Print(stream, "\t%s\t\t=\t'%s'\n", "Host", host.get()) &&
                   Print(stream, "\t%s\t\t=\t%s\n", "Managed", managed) &&
                   Print(stream, "\t%s\t=\t'%s'\n", "RestartMsg", restart.get()) &&
                   Print(stream, "\t%s\t=\t'%s'\n", "AlertMsg", alert.get()) &&
                   Print(stream, "\t%s\t=\t%d\n", "RetryCount", process.retryCount) &&
                   Print(stream, "\t%s\t=\t%s\n", "ProcessType", type);
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
        written = Print(stream, "\t%s '%s' %ld\n", "process", name.get(), static_cast<long>(member.value.intValue));
        break;
    case PaVALUE_TEXT: {
        pa::Owned<char> text = Escaped(member.value.textValue, "");
        if (text == nullptr) {
            return PaFAILURE;
        }
        written = Print(stream, "\t%s '%s' '%s'\n", "process", name.get(), text.get());
        break;
    }
    case PaVALUE_NONE:
        written = Print(stream, "\t%s '%s' NONE\n", "process", name.get());
        break;
    default:
        return PaSUCCESS;
    }
    return written ? PaSUCCESS : WriteFailure();
}

int32_t WriteHost(FILE *stream, const PaHost &entry)
{
    pa::Owned<char> host = Escaped(entry.hostName);
    pa::Owned<char> server = Escaped(entry.serverName);
    if (host == nullptr || server == nullptr) {
        return PaFAILURE;
    }
    return Print(stream, "\t%s '%s' '%s'\n", "host", host.get(), server.get()) ? PaSUCCESS : WriteFailure();
}

}  // namespace

extern "C" {

char *PaEscapeQuotes(const char *text)
{
    if (text == nullptr) {
        return nullptr;
    }
    size_t length = std::mbstowcs(nullptr, text, 0);
    if (length == kNotConverted) {
        return EscapeBytes(text);
    }
    pa::Owned<wchar_t> wide(NewText<wchar_t>(length));
    pa::Owned<wchar_t> escaped(NewText<wchar_t>(2 * length));
    if (wide == nullptr || escaped == nullptr) {
        return nullptr;
    }
    std::mbstowcs(wide.get(), text, length + 1);
    EscapeInto(wide.get(), escaped.get());
    size_t size = std::wcstombs(nullptr, escaped.get(), 0);
    if (size == kNotConverted) {
        return EscapeBytes(text);
    }
    char *result = NewText<char>(size);
    if (result != nullptr) {
        std::wcstombs(result, escaped.get(), size + 1);
    }
    return result;
}

int32_t PaWriteFileHeaders(FILE *stream)
{
    if (stream == nullptr) {
        return PaFAILURE;
    }
    Print(stream, "#ZEB_PA3\n#\n");
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
    return WriteEach<PaService>(services,
                                [stream](const PaService &service) { return PaWriteProcesses(stream, service.members); });
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
    Print(stream, "%s '%s'\n{\n", "zeb_service", name.get());
    Print(stream, "\t%s\t=\t%s\n", "ServiceType", service->type == PaSERVICE_MASTER ? "Master" : "Non-Master");
    Print(stream, "\t%s\t=\t%s\n", "ServiceStart", service->start == PaSERVICE_AUTO ? "Auto" : "Non-Auto");
    int32_t result = WriteEach<PaServProcess>(service->members,
                                              [stream](const PaServProcess &member) { return WriteMember(stream, member); });
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
    Print(stream, "%s\n{\n", "zeb_routing");
    int32_t result = WriteEach<PaHost>(hosts, [stream](const PaHost &entry) { return WriteHost(stream, entry); });
    if (result == PaSUCCESS) {
        Print(stream, "}\n\n");
    }
    return result;
}

}  // extern "C"
