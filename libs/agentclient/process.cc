// Process records: construction from attribute lists, attribute access, copy, comparison and
// release, standalone or as list elements. A record owns its texts and its process handle.
#include "process.h"

#include "records.h"

#include <protocol/rpc_table.h>

#include <fcntl.h>
#include <iterator>
#include <unistd.h>

namespace {

constexpr const char *kClearedName = "NoName";
// A list element is named with the protocol's no-value text until it is given a name.
const char *const kElementName = pa::protocol::kNoValue.data();
// Duplicates stay above the standard streams, so a held handle is never 0, which means none.
constexpr int kLowestHandle = 3;

// Where each attribute identifier (the index) lives in the record.
struct Attribute {
    enum Kind {
        kUnknown,
        kName,
        kText,
        kInteger,
        kHandle
    } kind;
    char *PaProcess::*text;
    int32_t PaProcess::*integer;
};

constexpr Attribute kAttributes[] = {
    {Attribute::kUnknown, nullptr, nullptr},
    {Attribute::kName, &PaProcess::name, nullptr},
    {Attribute::kText, &PaProcess::host_name, nullptr},
    {Attribute::kText, &PaProcess::command, nullptr},
    {Attribute::kInteger, nullptr, &PaProcess::euid},
    {Attribute::kInteger, nullptr, &PaProcess::managed},
    {Attribute::kInteger, nullptr, &PaProcess::pid},
    {Attribute::kText, &PaProcess::restart_msg, nullptr},
    {Attribute::kText, &PaProcess::alert_msg, nullptr},
    {Attribute::kInteger, nullptr, &PaProcess::retry_count},
    {Attribute::kInteger, nullptr, &PaProcess::type},
    {Attribute::kHandle, nullptr, nullptr},
};

constexpr char *PaProcess::*kTexts[] = {
    &PaProcess::name, &PaProcess::host_name, &PaProcess::command, &PaProcess::restart_msg, &PaProcess::alert_msg,
};

const Attribute &AttributeOf(int32_t id)
{
    return id > 0 && static_cast<size_t>(id) < std::size(kAttributes) ? kAttributes[id] : kAttributes[0];
}

void CloseHandle(PaProcessHandle handle)
{
    if (handle != 0) {
        close(handle);
    }
}

// Gives the record its own duplicate of handle (none for 0). The old handle is closed only
// afterwards, so setting the handle the record already holds loses nothing.
void ReplaceHandle(PaProcess *process, PaProcessHandle handle)
{
    if (handle == process->handle) {
        return;
    }
    PaProcessHandle duplicate = 0;
    if (handle != 0) {
        PaDuplicateHandle(handle, &duplicate);
    }
    CloseHandle(process->handle);
    process->handle = duplicate;
}

// A restart or alert message present in only one of two records is no difference.
bool SameMessage(const char *a, const char *b) { return a == nullptr || b == nullptr || pa::SameText(a, b); }

// Makes the name copy before the record's storage, so that no failure leaves a half-made record.
PaProcess *MakeProcess(const char *name, void *(*allocate)(size_t))
{
    pa::Owned<char> copy(PaStrDup(name));
    if (name != nullptr && copy == nullptr) {
        return nullptr;
    }
    auto *process = static_cast<PaProcess *>(allocate(sizeof(PaProcess)));
    if (process != nullptr) {
        *process      = PaProcess{};
        process->name = copy.release();
    }
    return process;
}

PaProcess *CreateFromPairs(const char *name, va_list *args)
{
    if (name == nullptr) {
        return nullptr;
    }
    return pa::FillFromPairs(pa::OwnedProcess(MakeProcess(name, PaMalloc)), args, PaProcessSetAttributeV);
}

}  // namespace

PaProcess *PaProcessNew(void) { return MakeProcess(nullptr, PaMalloc); }

void PaProcessFreeContents(void *record)
{
    auto *process = static_cast<PaProcess *>(record);
    for (auto text : kTexts) {
        pa::Release(process->*text);
        process->*text = nullptr;
    }
    CloseHandle(process->handle);
    process->handle = 0;
}

int32_t PaDuplicateHandle(PaProcessHandle source, PaProcessHandle *target)
{
    int duplicate = fcntl(source, F_DUPFD_CLOEXEC, kLowestHandle);
    if (duplicate < 0) {
        PaMsgLogSysError(PaMSG_ERROR, "DuplicateHandle() failed.");
        *target = 0;
        return PaFAILURE;
    }
    *target = duplicate;
    return PaSUCCESS;
}

int32_t PaProcessSetAttributeV(PaProcess *process, int32_t id, va_list *args)
{
    const Attribute &attribute = AttributeOf(id);
    switch (attribute.kind) {
    case Attribute::kName: return pa::SetName(&(process->*attribute.text), va_arg(*args, const char *));
    case Attribute::kText:
        return pa::ReplaceText(&(process->*attribute.text), va_arg(*args, const char *)) ? PaSUCCESS : PaFAILURE;
    case Attribute::kInteger: process->*attribute.integer = va_arg(*args, int32_t); return PaSUCCESS;
    case Attribute::kHandle: ReplaceHandle(process, va_arg(*args, PaProcessHandle)); return PaSUCCESS;
    case Attribute::kUnknown: break;
    }
    PaMsgLog(PaMSG_ERROR, "Attempt to set unknown attribute.");
    return PaUNKNOWN_ATTRIBUTE;
}

int32_t PaProcessGetAttributeV(const PaProcess *process, int32_t id, va_list *args)
{
    const Attribute &attribute = AttributeOf(id);
    switch (attribute.kind) {
    case Attribute::kName:
    case Attribute::kText: return pa::StoreCopy(va_arg(*args, char **), process->*attribute.text);
    case Attribute::kInteger: return pa::Store(va_arg(*args, int32_t *), process->*attribute.integer);
    case Attribute::kHandle: return pa::Store(va_arg(*args, PaProcessHandle *), process->handle);
    case Attribute::kUnknown: break;
    }
    PaMsgLog(PaMSG_ERROR, "Attempt to get unknown process attribute.");
    return PaUNKNOWN_ATTRIBUTE;
}

extern "C" {

PaProcess *PaVaProcessCreate(const char *name, ...)
{
    va_list args;
    va_start(args, name);
    PaProcess *process = CreateFromPairs(name, &args);
    va_end(args);
    return process;
}

PaProcess *PaVaProcessCreateAP(const char *name, va_list args)
{
    va_list local;
    va_copy(local, args);
    PaProcess *process = CreateFromPairs(name, &local);
    va_end(local);
    return process;
}

int32_t PaProcessGetAttribute(const PaProcess *process, ...)
{
    if (process == nullptr) {
        return PaFAILURE;
    }
    va_list args;
    va_start(args, process);
    int32_t result = pa::ApplyPairs(process, &args, PaProcessGetAttributeV);
    va_end(args);
    return result;
}

int32_t PaProcessSetAttribute(PaProcess *process, ...)
{
    if (process == nullptr) {
        return PaFAILURE;
    }
    va_list args;
    va_start(args, process);
    int32_t result = pa::ApplyPairs(process, &args, PaProcessSetAttributeV);
    va_end(args);
    return result;
}

void PaProcessClearProcess(PaProcess *process)
{
    if (process == nullptr) {
        return;
    }
    char *name = PaStrDup(kClearedName);
    if (name == nullptr) {
        return;
    }
    PaProcessHandle handle = process->handle;
    process->handle        = 0;
    PaProcessFreeContents(process);
    *process        = PaProcess{};
    process->name   = name;
    process->handle = handle;
}

PaProcess *PaProcessCopy(const PaProcess *source)
{
    if (source == nullptr) {
        return nullptr;
    }
    pa::OwnedProcess copy(PaProcessNew());
    if (copy == nullptr) {
        return nullptr;
    }
    for (auto text : kTexts) {
        if (!pa::CopyText(source->*text, &(copy.get()->*text))) {
            return nullptr;
        }
    }
    copy->euid        = source->euid;
    copy->managed     = source->managed;
    copy->pid         = source->pid;
    copy->retry_count = source->retry_count;
    copy->type        = source->type;
    if (source->handle != 0) {
        PaDuplicateHandle(source->handle, &copy->handle);
    }
    return copy.release();
}

int32_t PaProcessCompare(const PaProcess *a, const PaProcess *b)
{
    if (a == nullptr || b == nullptr) {
        return 0;
    }
    return a->euid == b->euid && a->managed == b->managed && a->retry_count == b->retry_count && a->type == b->type &&
           pa::SameText(a->name, b->name) && pa::SameText(a->host_name, b->host_name) &&
           pa::SameText(a->command, b->command) && SameMessage(a->restart_msg, b->restart_msg) &&
           SameMessage(a->alert_msg, b->alert_msg);
}

int32_t PaProcessFree(PaProcess *process)
{
    if (process == nullptr) {
        return PaFAILURE;
    }
    PaProcessFreeContents(process);
    PaFree(process);
    return PaSUCCESS;
}

PaProcess *PaProcessAllocElement(void) { return MakeProcess(kElementName, pa::AllocUnlinkedElement); }

void PaProcessDeleteElement(PaList *list, PaProcess *process)
{
    PaListDeleteElement(list, process, PaProcessFreeContents);
}

int32_t PaProcessListFree(PaList *list)
{
    if (list == nullptr) {
        return PaFAILURE;
    }
    PaListDestroy(list, PaProcessFreeContents);
    return PaSUCCESS;
}

}  // extern "C"
