// The RPC engine: parameter lists, the call itself and the caller convention.
#ifndef AGENTCLIENT_RPC_H
#define AGENTCLIENT_RPC_H

#include "connection.h"

#include <cstddef>

// The agent's RPCs by number.
enum PaRpcNumber : int32_t {
    PaRPC_STOP_PA = 0,
    PaRPC_PROCESS_START = 1,
    PaRPC_PROCESS_STOP = 2,
    PaRPC_SERVICE_START = 3,
    PaRPC_SERVICE_STOP = 4,
    PaRPC_PROCESS_STATUS = 5,
    PaRPC_SERVICE_STATUS = 6,
    PaRPC_SERVICE_LIST = 7,
    PaRPC_PROCESS_LIST = 8,
    PaRPC_REG_WATCH = 9,
    PaRPC_SERVICE_CHANGE = 10,
    PaRPC_PROCESS_CHANGE = 11,
    PaRPC_STOP_PROCESSES = 12,
    PaRPC_START_PROCESSES = 13,
    PaRPC_SINGLE_PROCESS_LIST = 14,
    PaRPC_SINGLE_SERVICE_LIST = 15,
    PaRPC_NOTIFICATION = 16,
    PaRPC_HOST_LIST = 17,
    PaRPC_HOST_ADD = 18,
    PaRPC_HOST_REMOVE = 19,
    PaRPC_SERVICE_REMOVE = 20,
    PaRPC_PROCESS_START_WITH_ARGS = 21,
    PaRPC_DEBUG_LEVEL_SET = 22,
    PaRPC_DEBUG_LEVEL_GET = 23,
    PaRPC_GENERATE_NOTIFICATION = 24,
    PaRPC_PROCESS_STATE = 25,
    PaRPC_REG_NO_WATCH = 26,
    PaRPC_PROCESS_START_LONG = 27,
    PaRPC_VERSION_GET = 28,
    PaRPC_SIGNAL_PROCESS = 29,
    PaRPC_SIGNAL_LIST = 30,
    PaRPC_UNAME_GET = 31,
    PaRPC_COUNT = 32
};

// The largest parameter or column value the engine handles, in bytes.
constexpr CS_INT PaRPC_MAX_VALUE = 8193;

// One named input parameter. A list is an array of entries ended by one whose name is null.
struct PaRpcParam {
    char *name;          // owned copy; null in the end mark
    CS_INT datatype;     // CS_CHAR_TYPE, CS_LONGCHAR_TYPE, CS_SMALLINT_TYPE or CS_INT_TYPE
    CS_INT status;       // CS_INPUTVALUE
    const void *value;   // the caller's value, read when the engine runs (not for CS_INT_TYPE)
    CS_INT intValue;     // CS_INT_TYPE: the value itself
};

// One column of a fetched row, as the row decoders see it.
struct PaRpcColumn {
    CS_SMALLINT indicator;
    CS_DATAFMT format;
    char *text;          // text columns: always terminated; null for other columns
    CS_INT intValue;     // CS_INT_TYPE columns
    CS_INT copiedLength;
};

// Turns one reply row into a record appended to list. slot is the decoder's own state, null
// at the start of each result set.
using PaRowDecodeFunc = void (*)(const PaRpcColumn *columns, PaList *list, void **slot);

// How the rows of a list RPC become records: the decoder, the clean-up of one element (used
// to empty the list before a repeat, so repeats never duplicate records) and the row layout
// the decoder needs, one letter per column: 'T' text, 'I' integer.
struct PaRowDecoder {
    PaRowDecodeFunc decode;
    PaListFreeFunc cleanup;
    const char *layout;
};

// Fills one entry: a copy of name (false when it cannot be made), datatype and status; for
// CS_INT_TYPE the integer *value is copied, otherwise the pointer is kept.
bool PaRpcParamSet(PaRpcParam *entry, const char *name, CS_INT datatype, CS_INT status, const void *value);
// Releases the names of a list's entries, up to the end mark.
void PaRpcParamListFree(PaRpcParam *list);

// Sends RPC number rpc with params on the handle and hands the reply rows to target:
// PaSUCCESS, PaFAILURE or PaCONNECTION_LOST.
int32_t PaRpcCall(PaConnection *handle, int32_t rpc, const PaRpcParam *params, void *target);
// PaRpcCall, and on PaCONNECTION_LOST one reconnection and one more call.
int32_t PaRpcCallReconnecting(PaConnection *handle, int32_t rpc, const PaRpcParam *params, void *target);
// Fetches the rows of a list RPC into a new list, under the reconnecting convention: PaSUCCESS
// with *list set, or the call's code with nothing kept and *list untouched.
int32_t PaRpcFetchList(PaConnection *handle, int32_t rpc, const PaRpcParam *params, PaList **list);

namespace pa {

// A parameter list under construction, released when it goes out of scope.
class RpcParams {
public:
    explicit RpcParams(size_t capacity);
    ~RpcParams();
    RpcParams(const RpcParams &) = delete;
    RpcParams &operator=(const RpcParams &) = delete;

    RpcParams &Int(const char *name, int32_t value);
    RpcParams &Text(const char *name, const char *value);
    // False when an entry could not be added (no memory, or more entries than capacity).
    bool ok() const { return ok_; }
    const PaRpcParam *list() const { return entries_; }

private:
    RpcParams &Add(const char *name, CS_INT datatype, const void *value);
    PaRpcParam *entries_;
    size_t capacity_;
    size_t count_ = 0;
    bool ok_;
};

}  // namespace pa

#endif
