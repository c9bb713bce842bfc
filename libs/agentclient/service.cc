// Service records and their members: construction, attribute access, member management by
// process name, deep copies and release, standalone or as list elements.
#include "service.h"

#include "process.h"
#include "records.h"

#include <protocol/rpc_table.h>

namespace {

// A list element is named with the protocol's no-value text until it is given a name.
const char *const kElementName = pa::protocol::kNoValue.data();

struct ServiceDeleter {
    void operator()(PaService *service) const noexcept { PaServiceFree(service); }
};
using OwnedService = std::unique_ptr<PaService, ServiceDeleter>;

struct MemberListDeleter {
    void operator()(PaList *members) const noexcept { PaServiceProcessListDestroy(members); }
};
using OwnedMemberList = std::unique_ptr<PaList, MemberListDeleter>;

struct EntryDeleter {
    void operator()(PaServProcess *entry) const noexcept { PaServiceServProcessFree(entry); }
};
using OwnedEntry = std::unique_ptr<PaServProcess, EntryDeleter>;

void InitEntry(void *entry) { *static_cast<PaServProcess *>(entry) = PaServProcess{nullptr, PaVALUE_NONE, {0}}; }

// The first member whose process carries name; members without a process are skipped.
PaServProcess *FindMember(const PaList *members, const char *name)
{
    for (auto *member = pa::First<PaServProcess>(members); member != nullptr; member = pa::Next(member)) {
        if (member->process != nullptr && pa::SameText(member->process->name, name)) {
            return member;
        }
    }
    return nullptr;
}

// Gives member the kind of entry and its value: the integer for PaVALUE_INTEGER, text for
// PaVALUE_TEXT, and 0 for any other kind.
void AssignValue(PaServProcess *member, const PaServProcess &entry, char *text)
{
    member->kind = entry.kind;
    if (entry.kind == PaVALUE_TEXT) {
        member->value.textValue = text;
    } else {
        member->value.intValue = entry.kind == PaVALUE_INTEGER ? entry.value.intValue : 0;
    }
}

// Fills the fresh entry target with a deep copy of source. A member without a process stays
// without one. On failure target holds what was copied so far, to be released by the caller.
bool CopyEntry(const PaServProcess &source, PaServProcess *target)
{
    if (source.process != nullptr && (target->process = PaProcessCopy(source.process)) == nullptr) {
        return false;
    }
    char *text = nullptr;
    if (source.kind == PaVALUE_TEXT && !pa::CopyText(source.value.textValue, &text)) {
        return false;
    }
    AssignValue(target, source, text);
    return true;
}

// Appends a deep copy of every member of source to target; false when memory ran out, the
// copies made so far staying in target.
bool AppendCopies(PaList *target, const PaList *source)
{
    for (auto *member = pa::First<const PaServProcess>(source); member != nullptr; member = pa::Next(member)) {
        auto *copy = PaServiceProcessListAllocElement();
        if (copy == nullptr) {
            return false;
        }
        PaListAddToTail(target, copy);
        if (!CopyEntry(*member, copy)) {
            return false;
        }
    }
    return true;
}

PaList *CopyMembers(const PaList *source)
{
    OwnedMemberList copy(PaServiceProcessListCreate());
    return copy != nullptr && AppendCopies(copy.get(), source) ? copy.release() : nullptr;
}

// The members become copies of those of the list given; unchanged when a copy fails.
int32_t ReplaceMembers(PaService *service, const PaList *members)
{
    PaList *copy = members != nullptr ? CopyMembers(members) : nullptr;
    if (copy == nullptr) {
        return PaFAILURE;
    }
    PaServiceProcessListDestroy(service->members);
    service->members = copy;
    return PaSUCCESS;
}

int32_t StoreMemberCopies(PaList **target, const PaList *members)
{
    if (target == nullptr) {
        return PaFAILURE;
    }
    PaList *copy = CopyMembers(members);
    if (copy == nullptr) {
        return PaFAILURE;
    }
    *target = copy;
    return PaSUCCESS;
}

int32_t SetAttributeV(PaService *service, int32_t id, va_list *args)
{
    switch (id) {
    case PaSERVICE_NAME: return pa::SetName(&service->name, va_arg(*args, const char *));
    case PaSERVICE_TYPE: service->type = va_arg(*args, int32_t); return PaSUCCESS;
    case PaSERVICE_START: service->start = va_arg(*args, int32_t); return PaSUCCESS;
    case PaSERVICE_PROCESS_COUNT:
        PaMsgLog(PaMSG_WARNING, "Cannot set Process list number in service.");
        return PaFAILURE;
    case PaSERVICE_PROCESS_LIST: return ReplaceMembers(service, va_arg(*args, const PaList *));
    default: PaMsgLog(PaMSG_ERROR, "Attempt to set unknown process attribute."); return PaUNKNOWN_ATTRIBUTE;
    }
}

int32_t GetAttributeV(const PaService *service, int32_t id, va_list *args)
{
    switch (id) {
    case PaSERVICE_NAME: return pa::StoreCopy(va_arg(*args, char **), service->name);
    case PaSERVICE_TYPE: return pa::Store(va_arg(*args, int32_t *), service->type);
    case PaSERVICE_START: return pa::Store(va_arg(*args, int32_t *), service->start);
    case PaSERVICE_PROCESS_COUNT: return pa::Store(va_arg(*args, int32_t *), PaListNumberOfElements(service->members));
    case PaSERVICE_PROCESS_LIST: return StoreMemberCopies(va_arg(*args, PaList **), service->members);
    default: PaMsgLog(PaMSG_ERROR, "Attempt to get unknown process attribute."); return PaUNKNOWN_ATTRIBUTE;
    }
}

// Makes what a fresh service owns (a copy of name, if any, and the empty member list) before
// the record's storage, so that no failure leaves a half-made record.
PaService *MakeService(const char *name, void *(*allocate)(size_t))
{
    pa::Owned<char> copy(PaStrDup(name));
    OwnedMemberList members(PaServiceProcessListCreate());
    if ((name != nullptr && copy == nullptr) || members == nullptr) {
        return nullptr;
    }
    auto *service = static_cast<PaService *>(allocate(sizeof(PaService)));
    if (service != nullptr) {
        *service = PaService{copy.release(), PaSERVICE_NON_MASTER, PaSERVICE_NON_AUTO, members.release()};
    }
    return service;
}

}  // namespace

void PaServProcessFreeContents(void *record)
{
    auto *entry = static_cast<PaServProcess *>(record);
    if (entry->process != nullptr) {
        PaProcessFree(entry->process);
    }
    if (entry->kind == PaVALUE_TEXT) {
        pa::Release(entry->value.textValue);
    }
    InitEntry(entry);
}

void PaServiceFreeContents(void *record)
{
    auto *service = static_cast<PaService *>(record);
    pa::Release(service->name);
    PaServiceProcessListDestroy(service->members);
    service->name    = nullptr;
    service->members = nullptr;
}

extern "C" {

PaService *PaVaServiceCreate(const char *name, ...)
{
    if (name == nullptr) {
        return nullptr;
    }
    va_list args;
    va_start(args, name);
    PaService *service = pa::FillFromPairs(OwnedService(MakeService(name, PaMalloc)), &args, SetAttributeV);
    va_end(args);
    return service;
}

int32_t PaServiceGetAttribute(const PaService *service, ...)
{
    if (service == nullptr) {
        return PaFAILURE;
    }
    va_list args;
    va_start(args, service);
    int32_t result = pa::ApplyPairs(service, &args, GetAttributeV);
    va_end(args);
    return result;
}

int32_t PaServiceSetAttribute(PaService *service, ...)
{
    if (service == nullptr) {
        return PaFAILURE;
    }
    va_list args;
    va_start(args, service);
    int32_t result = pa::ApplyPairs(service, &args, SetAttributeV);
    va_end(args);
    return result;
}

PaService *PaServiceCopy(const PaService *source)
{
    if (source == nullptr) {
        return nullptr;
    }
    OwnedService copy(MakeService(source->name, PaMalloc));
    if (copy == nullptr || !AppendCopies(copy->members, source->members)) {
        return nullptr;
    }
    copy->type  = source->type;
    copy->start = source->start;
    return copy.release();
}

int32_t PaServiceFree(PaService *service)
{
    if (service == nullptr) {
        return PaFAILURE;
    }
    PaServiceFreeContents(service);
    PaFree(service);
    return PaSUCCESS;
}

PaService *PaServiceAllocElement(void) { return MakeService(kElementName, pa::AllocUnlinkedElement); }

void PaServiceDeleteElement(PaList *list, PaService *service)
{
    PaListDeleteElement(list, service, PaServiceFreeContents);
}

int32_t PaServiceListFree(PaList *list)
{
    if (list == nullptr) {
        return PaFAILURE;
    }
    PaListDestroy(list, PaServiceFreeContents);
    return PaSUCCESS;
}

PaService *PaServiceListFindProcess(const PaList *services, const char *name, PaServProcess **entry)
{
    if (name == nullptr) {
        return nullptr;
    }
    for (auto *service = pa::First<PaService>(services); service != nullptr; service = pa::Next(service)) {
        const PaServProcess *member = FindMember(service->members, name);
        if (member == nullptr) {
            continue;
        }
        if (entry != nullptr) {
            PaServProcess *copy = PaServiceProcessCopy(member);
            if (copy == nullptr) {
                return nullptr;
            }
            *entry = copy;
        }
        return service;
    }
    return nullptr;
}

int32_t PaServiceAddProcess(PaService *service, PaServProcess *entry, int32_t copy)
{
    if (service == nullptr || entry == nullptr || entry->process == nullptr) {
        return PaFAILURE;
    }
    if (FindMember(service->members, entry->process->name) != nullptr) {
        PaMsgLog(PaMSG_DEBUG, "Error in locating process in service.");
        return PaFOUND;
    }
    pa::OwnedProcess duplicate(copy == 1 ? PaProcessCopy(entry->process) : nullptr);
    if (copy == 1 && duplicate == nullptr) {
        return PaFAILURE;
    }
    PaServProcess *member = PaServiceProcessListAllocElement();
    if (member == nullptr) {
        return PaFAILURE;
    }
    member->process = copy == 1 ? duplicate.release() : entry->process;
    AssignValue(member, *entry, entry->kind == PaVALUE_TEXT ? entry->value.textValue : nullptr);
    PaListAddToTail(service->members, member);
    return PaSUCCESS;
}

int32_t PaServiceRemoveProcess(PaService *service, const PaProcess *process)
{
    if (service == nullptr || process == nullptr) {
        return PaFAILURE;
    }
    PaServProcess *member = FindMember(service->members, process->name);
    if (member == nullptr) {
        PaMsgLog(PaMSG_DEBUG, "Failed to locate process in service.");
        return PaNOT_FOUND;
    }
    PaServiceProcessListDelete(service->members, member);
    return PaSUCCESS;
}

int32_t PaServiceChangeProcess(PaService *service, const char *name, const PaServProcess *entry)
{
    if (service == nullptr || name == nullptr || entry == nullptr || entry->process == nullptr) {
        return PaFAILURE;
    }
    PaServProcess *member = FindMember(service->members, name);
    if (member == nullptr) {
        return PaFAILURE;
    }
    PaServProcess replacement{nullptr, PaVALUE_NONE, {0}};
    if (!CopyEntry(*entry, &replacement)) {
        PaServProcessFreeContents(&replacement);
        return PaFAILURE;
    }
    PaServProcessFreeContents(member);
    *member = replacement;
    return PaSUCCESS;
}

int32_t PaServiceChangeProcessEntry(PaService *service, const char *name, const PaProcess *process)
{
    if (service == nullptr || name == nullptr || process == nullptr) {
        return PaFAILURE;
    }
    PaServProcess *member = FindMember(service->members, name);
    if (member == nullptr) {
        return PaFAILURE;
    }
    PaProcess *copy = PaProcessCopy(process);
    if (copy == nullptr) {
        return PaFAILURE;
    }
    PaProcessFree(member->process);
    member->process = copy;
    return PaSUCCESS;
}

PaList *PaServiceProcessListCreate(void) { return PaListCreate(); }

void PaServiceProcessListDestroy(PaList *list) { PaListDestroy(list, PaServProcessFreeContents); }

PaServProcess *PaServiceProcessListAllocElement(void)
{
    return static_cast<PaServProcess *>(PaListAllocElement(sizeof(PaServProcess), InitEntry));
}

void PaServiceProcessListDelete(PaList *list, PaServProcess *entry)
{
    PaListDeleteElement(list, entry, PaServProcessFreeContents);
}

void PaServiceServProcessFree(PaServProcess *entry)
{
    if (entry == nullptr) {
        return;
    }
    PaServProcessFreeContents(entry);
    PaFree(entry);
}

PaServProcess *PaServiceProcessCopy(const PaServProcess *source)
{
    if (source == nullptr) {
        return nullptr;
    }
    OwnedEntry copy(static_cast<PaServProcess *>(PaMalloc(sizeof(PaServProcess))));
    if (copy == nullptr) {
        return nullptr;
    }
    InitEntry(copy.get());
    return CopyEntry(*source, copy.get()) ? copy.release() : nullptr;
}

}  // extern "C"
