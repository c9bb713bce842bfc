// Operations on whole services through an agent, and the decoding of service rows.
#include "process_ops.h"
#include "records.h"
#include "service.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

namespace protocol = pa::protocol;
using protocol::kServiceParams;

// The protocol's no-value text as a C string.
const char *const kNoText = protocol::kNoValue.data();

// Appends one member: its kind, its value and its process. A member without a process cannot
// be sent, like a process without a host name.
int32_t MarshalMember(const PaServProcess *member, int index, pa::RpcParams &params)
{
    if (member->process == nullptr) {
        PaMsgLog(PaMSG_ERROR, "Attempt to send process with no hostname.");
        return PaMISSING_ARGUMENT;
    }
    char kind_name[protocol::kMemberNameSize];
    char value_name[protocol::kMemberNameSize];
    protocol::MemberKindName(index, kind_name);
    protocol::MemberValueName(index, value_name);
    params.Int(kind_name, member->kind);
    if (protocol::MemberValueType(member->kind) == protocol::Type::kText) {
        params.Text(value_name, member->value.textValue != nullptr ? member->value.textValue : "");
    } else {
        params.Int(value_name, member->value.intValue);
    }
    return PaProcessMarshal(member->process, params);
}

// Sends a whole service: RPC 3 with the add flag, or RPC 10 with the name it replaces.
int32_t PaServiceSend(PaConnection *handle, const PaService *service, int32_t rpc, bool add, const char *change_name)
{
    if (handle == nullptr || service == nullptr) {
        return PaFAILURE;
    }
    size_t count = static_cast<size_t>(PaListNumberOfElements(service->members));
    pa::RpcParams params(protocol::kMemberParamCount * count + std::size(kServiceParams) + 1);
    if (rpc == protocol::kServiceChange) {
        params.Text(pa::Leading(rpc), change_name);
    } else {
        params.Int(pa::Leading(rpc), add ? 1 : 0);
    }
    params.Text(kServiceParams[0], service->name)
        .Int(kServiceParams[1], service->type)
        .Int(kServiceParams[2], service->start)
        .Int(kServiceParams[3], static_cast<int32_t>(count));
    int index = 1;
    for (auto *member = pa::First<PaServProcess>(service->members); member != nullptr; member = pa::Next(member)) {
        int32_t marshalled = MarshalMember(member, index++, params);
        if (marshalled != PaSUCCESS) {
            return marshalled;
        }
    }
    return params.Ok() ? PaRpcCallReconnecting(handle, rpc, params.List(), nullptr) : PaFAILURE;
}

// Sends only the service's name.
int32_t SendServiceName(PaConnection *handle, const PaService *service, int32_t rpc, int32_t *pair)
{
    if (handle == nullptr || service == nullptr) {
        return PaFAILURE;
    }
    pa::RpcParams params(1);
    if (!params.Text(pa::Leading(rpc), service->name).Ok()) {
        return PaFAILURE;
    }
    return PaRpcCallReconnecting(handle, rpc, params.List(), pair);
}

// The integer a member value of kind 0 travels as in a row: decimal text, clamped to 32 bits.
int32_t IntegerFromText(const char *text)
{
    long value = std::strtol(text, nullptr, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

// Adds the member of a service row (columns 4 to 15) to service.
void PaServiceMemberFromRow(const PaRpcColumn *columns, PaService *service)
{
    PaServProcess entry{};
    entry.kind        = columns[protocol::kColValueKind].int_value;
    const char *value = columns[protocol::kColValue].text;
    if (entry.kind == PaVALUE_INTEGER) {
        entry.value.intValue = IntegerFromText(value);
    } else if (entry.kind == PaVALUE_TEXT) {
        entry.value.textValue = PaStrDup(value);
        if (entry.value.textValue == nullptr) {
            return;
        }
    }
    entry.process = PaVaProcessCreate(kNoText, 0);
    if (entry.process != nullptr) {
        PaProcessFromRow(entry.process, columns + protocol::kColMemberProcess);
    }
    if (entry.process == nullptr || PaServiceAddProcess(service, &entry, 0) != PaSUCCESS) {
        PaMsgLog(PaMSG_ERROR, "Failed to add fetched process to service.");
        PaServProcessFreeContents(&entry);
    }
}

bool IsNoText(const char *text) { return text == protocol::kNoValue; }

// A row with a service name starts a service; a row with the no-value text there adds a
// member to the service of the rows before it, which slot holds.
void PaServiceRowDecode(const PaRpcColumn *columns, PaList *list, void **slot)
{
    using namespace pa::protocol;
    const PaRpcColumn *member = columns + kColMemberProcess;
    if (!IsNoText(columns[kColService].text)) {
        PaService *service = PaServiceAllocElement();
        if (service == nullptr) {
            return;
        }
        PaServiceSetAttribute(service, PaSERVICE_NAME, columns[kColService].text, PaSERVICE_TYPE,
                              columns[kColServiceType].int_value, PaSERVICE_START, columns[kColServiceStart].int_value,
                              0);
        if (!IsNoText(member[kColName].text) || !IsNoText(member[kColHost].text)) {
            PaServiceMemberFromRow(columns, service);
        }
        PaListAddToTail(list, service);
        *slot = service;
    } else if (*slot != nullptr) {
        PaServiceMemberFromRow(columns, static_cast<PaService *>(*slot));
    } else {
        PaMsgLog(PaMSG_ERROR, "Error in retrieved process for a service element.");
    }
}

const PaRowDecoder kServiceRowDecoder = {PaServiceRowDecode, PaServiceFreeContents};

}  // namespace

extern "C" {

int32_t PaServiceAdd(PaConnection *handle, const PaService *service)
{
    return PaServiceSend(handle, service, protocol::kServiceStart, true, nullptr);
}

int32_t PaServiceStart(PaConnection *handle, const PaService *service)
{
    return PaServiceSend(handle, service, protocol::kServiceStart, false, nullptr);
}

int32_t PaServiceChange(PaConnection *handle, const char *name, const PaService *service)
{
    if (name == nullptr) {
        return PaMISSING_ARGUMENT;
    }
    return PaServiceSend(handle, service, protocol::kServiceChange, false, name);
}

int32_t PaServiceStop(PaConnection *handle, const PaService *service)
{
    return SendServiceName(handle, service, protocol::kServiceStop, nullptr);
}

int32_t PaServiceRemove(PaConnection *handle, const PaService *service)
{
    return SendServiceName(handle, service, protocol::kServiceRemove, nullptr);
}

int32_t PaServiceStatus(PaConnection *handle, const PaService *service)
{
    int32_t pair[2] = {PaSTATUS_UNKNOWN, 0};
    if (SendServiceName(handle, service, protocol::kServiceStatus, pair) != PaSUCCESS) {
        return PaSERVICE_STATUS_FAILED;
    }
    return pair[0];
}

int32_t PaServiceGetList(PaConnection *handle, PaList **list, int32_t selector)
{
    if (handle == nullptr || list == nullptr) {
        return PaFAILURE;
    }
    *list = nullptr;
    pa::RpcParams params(0);
    int32_t rpc = selector != 0 ? protocol::kServiceList : protocol::kSingleServiceList;
    // Every failure is reported alike, whatever the call answered.
    return params.Ok() && PaRpcFetchList(handle, rpc, params.List(), &kServiceRowDecoder, list) == PaSUCCESS
               ? PaSUCCESS
               : PaFAILURE;
}

}  // extern "C"
