// Operations on whole services through an agent, and the decoding of service rows.
#include "process_ops.h"
#include "records.h"
#include "service.h"
#include "service_ops.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *kNoText = "NULL";
constexpr size_t kServiceParameters = 5;
constexpr size_t kMemberParameters = 12;
constexpr size_t kMemberNameSize = 32;

// Appends one member: its kind, its value and its process. A member without a process cannot
// be sent, like a process without a host name.
int32_t MarshalMember(const PaServProcess *member, int index, pa::RpcParams &params)
{
    if (member->process == nullptr) {
        PaMsgLog(PaMSG_ERROR, "Attempt to send process with no hostname.");
        return PaMISSING_ARGUMENT;
    }
    char kindName[kMemberNameSize];
    char valueName[kMemberNameSize];
    std::snprintf(kindName, sizeof kindName, "Process%d", index);
    std::snprintf(valueName, sizeof valueName, "Process%dValue", index);
    params.Int(kindName, member->kind);
    if (member->kind == PaVALUE_TEXT) {
        params.Text(valueName, member->value.textValue != nullptr ? member->value.textValue : "");
    } else {
        params.Int(valueName, member->value.intValue);
    }
    return PaProcessMarshal(member->process, params);
}

// Sends a whole service: RPC 3 with the add flag, or RPC 10 with the name it replaces.
int32_t PaServiceSend(PaConnection *handle, const PaService *service, int32_t rpc, bool add, const char *changeName)
{
    if (handle == nullptr || service == nullptr) {
        return PaFAILURE;
    }
    size_t count = static_cast<size_t>(PaListNumberOfElements(service->members));
    pa::RpcParams params(kMemberParameters * count + kServiceParameters);
    if (rpc == PaRPC_SERVICE_CHANGE) {
        params.Text("serviceNameArg", changeName);
    } else {
        params.Int("serviceAddArg", add ? 1 : 0);
    }
    params.Text("serviceNameArg", service->name)
        .Int("serviceServTypeArg", service->type)
        .Int("serviceServStartArg", service->start)
        .Int("serviceProcessNoArg", static_cast<int32_t>(count));
    int index = 1;
    for (auto *member = pa::First<PaServProcess>(service->members); member != nullptr; member = pa::Next(member)) {
        int32_t marshalled = MarshalMember(member, index++, params);
        if (marshalled != PaSUCCESS) {
            return marshalled;
        }
    }
    return params.ok() ? PaRpcCallReconnecting(handle, rpc, params.list(), nullptr) : PaFAILURE;
}

// Sends only the service's name.
int32_t SendServiceName(PaConnection *handle, const PaService *service, int32_t rpc, int32_t *pair)
{
    if (handle == nullptr || service == nullptr) {
        return PaFAILURE;
    }
    pa::RpcParams params(1);
    if (!params.Text("serviceNameArg", service->name).ok()) {
        return PaFAILURE;
    }
    return PaRpcCallReconnecting(handle, rpc, params.list(), pair);
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
    entry.kind = columns[3].intValue;
    if (entry.kind == PaVALUE_INTEGER) {
        entry.value.intValue = IntegerFromText(columns[4].text);
    } else if (entry.kind == PaVALUE_TEXT) {
        entry.value.textValue = PaStrDup(columns[4].text);
        if (entry.value.textValue == nullptr) {
            return;
        }
    }
    entry.process = PaVaProcessCreate(kNoText, 0);
    if (entry.process != nullptr) {
        PaProcessFromRow(entry.process, columns + 5);
    }
    if (entry.process == nullptr || PaServiceAddProcess(service, &entry, 0) != PaSUCCESS) {
        PaMsgLog(PaMSG_ERROR, "Failed to add fetched process to service.");
        PaServProcessFreeContents(&entry);
    }
}

bool IsNoText(const char *text) { return std::strcmp(text, kNoText) == 0; }

// A row with a service name starts a service; a row with NULL there adds a member to the
// service of the rows before it, which slot holds.
void PaServiceRowDecode(const PaRpcColumn *columns, PaList *list, void **slot)
{
    if (!IsNoText(columns[0].text)) {
        PaService *service = PaServiceAllocElement();
        if (service == nullptr) {
            return;
        }
        PaServiceSetAttribute(service, PaSERVICE_NAME, columns[0].text, PaSERVICE_TYPE, columns[1].intValue,
                              PaSERVICE_START, columns[2].intValue, 0);
        if (!IsNoText(columns[5].text) || !IsNoText(columns[6].text)) {
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

}  // namespace

const PaRowDecoder PaServiceRowDecoder = {PaServiceRowDecode, PaServiceFreeContents, "TIIITTTTIIITTII"};

extern "C" {

int32_t PaServiceAdd(PaConnection *handle, const PaService *service)
{
    return PaServiceSend(handle, service, PaRPC_SERVICE_START, true, nullptr);
}

int32_t PaServiceStart(PaConnection *handle, const PaService *service)
{
    return PaServiceSend(handle, service, PaRPC_SERVICE_START, false, nullptr);
}

int32_t PaServiceChange(PaConnection *handle, const char *name, const PaService *service)
{
    if (name == nullptr) {
        return PaMISSING_ARGUMENT;
    }
    return PaServiceSend(handle, service, PaRPC_SERVICE_CHANGE, false, name);
}

int32_t PaServiceStop(PaConnection *handle, const PaService *service)
{
    return SendServiceName(handle, service, PaRPC_SERVICE_STOP, nullptr);
}

int32_t PaServiceRemove(PaConnection *handle, const PaService *service)
{
    return SendServiceName(handle, service, PaRPC_SERVICE_REMOVE, nullptr);
}

int32_t PaServiceStatus(PaConnection *handle, const PaService *service)
{
    int32_t pair[2] = {PaSTATUS_UNKNOWN, 0};
    if (SendServiceName(handle, service, PaRPC_SERVICE_STATUS, pair) != PaSUCCESS) {
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
    int32_t rpc = selector != 0 ? PaRPC_SERVICE_LIST : PaRPC_SINGLE_SERVICE_LIST;
    // Every failure is reported alike, whatever the call answered.
    return params.ok() && PaRpcFetchList(handle, rpc, params.list(), list) == PaSUCCESS ? PaSUCCESS : PaFAILURE;
}

}  // extern "C"
