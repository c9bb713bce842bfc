// The RPC engine: parameter lists, the call itself and the caller convention.
#ifndef AGENTCLIENT_RPC_H
#define AGENTCLIENT_RPC_H

#include "connection.h"
#include "operation.h"
#include "records.h"

#include <protocol/rpc_table.h>

#include <cstddef>
#include <string_view>

// One named input parameter. A list is an array of entries ended by one whose name is null.
struct PaRpcParam {
    char *name;         // owned copy; null in the end mark
    CS_INT datatype;    // CS_CHAR_TYPE, CS_LONGCHAR_TYPE, CS_SMALLINT_TYPE or CS_INT_TYPE
    CS_INT status;      // CS_INPUTVALUE
    const void *value;  // the caller's value, read when the engine runs (not for CS_INT_TYPE)
    CS_INT int_value;   // CS_INT_TYPE: the value itself
};

// One column of a fetched row, as the row decoders see it.
struct PaRpcColumn {
    CS_SMALLINT indicator;
    CS_DATAFMT format;
    char *text;        // text columns: always terminated; null for other columns
    CS_INT int_value;  // CS_INT_TYPE columns
    CS_INT copied_length;
};

// Turns one reply row, laid out as its RPC's columns in the protocol table, into a record
// appended to list. slot is the decoder's own state, null at the start of each result set.
using PaRowDecodeFunc = void (*)(const PaRpcColumn *columns, PaList *list, void **slot);

// How the rows of a list RPC become records: the decoder, and the clean-up of one element
// (used to empty the list before a repeat, so repeats never duplicate records). Each operation
// hands its own decoder to the engine.
struct PaRowDecoder {
    PaRowDecodeFunc decode;
    PaListFreeFunc cleanup;
};

// The result target of a list RPC: the list the decoder appends to.
struct PaRowTarget {
    PaList *list;
    const PaRowDecoder *decoder;
};

// Fills one entry: a copy of name (false when it cannot be made), datatype and status; for
// CS_INT_TYPE the integer *value is copied, otherwise the pointer is kept.
bool PaRpcParamSet(PaRpcParam *entry, const char *name, CS_INT datatype, CS_INT status, const void *value);
// Releases the names of a list's entries, up to the end mark.
void PaRpcParamListFree(PaRpcParam *list);

// Sends RPC number rpc with params on the handle and hands the reply rows to target (two
// integers, one integer, or a PaRowTarget, as the protocol table's rows of the RPC say):
// PaSUCCESS, PaFAILURE or PaCONNECTION_LOST.
int32_t PaRpcCall(PaConnection *handle, int32_t rpc, const PaRpcParam *params, void *target);
// PaRpcCall, and on PaCONNECTION_LOST one reconnection and one more call.
int32_t PaRpcCallReconnecting(PaConnection *handle, int32_t rpc, const PaRpcParam *params, void *target);
// Fetches the rows of a list RPC through decoder into a new list, under the reconnecting
// convention: PaSUCCESS with *list set, or the call's code with nothing kept and *list untouched.
int32_t PaRpcFetchList(PaConnection *handle, int32_t rpc, const PaRpcParam *params, const PaRowDecoder *decoder,
                       PaList **list);

namespace pa {

// Copies a text column as a record keeps it: none for the protocol's no-value text. False only
// when memory ran out.
inline bool CopyColumnText(const PaRpcColumn &column, char **target)
{
    return column.text == nullptr || column.text == protocol::kNoValue || CopyText(column.text, target);
}

// An absent name or host travels as the protocol's no-value text: an empty one may not survive
// the trip.
inline const char *OrNoValue(const char *text)
{
    return text != nullptr && *text != '\0' ? text : protocol::kNoValue.data();
}

// The i-th parameter an RPC sends before, or after, its process or service parameters.
inline const protocol::Field &Leading(int32_t rpc, size_t i = 0) { return protocol::kRpcs[rpc].leading[i]; }
inline const protocol::Field &Trailing(int32_t rpc, size_t i = 0) { return protocol::kRpcs[rpc].trailing[i]; }

// A parameter list under construction, released when it goes out of scope. Parameters are
// named by the protocol table's fields, or by a member parameter name made from it.
class RpcParams {
public:
    explicit RpcParams(size_t capacity);
    ~RpcParams();
    RpcParams(const RpcParams &)            = delete;
    RpcParams &operator=(const RpcParams &) = delete;

    RpcParams &Int(const protocol::Field &field, int32_t value);
    RpcParams &Text(const protocol::Field &field, const char *value);
    RpcParams &Int(const char *name, int32_t value);
    RpcParams &Text(const char *name, const char *value);
    // False when an entry could not be added (no memory, or more entries than capacity).
    bool Ok() const { return ok_; }
    const PaRpcParam *List() const { return entries_; }

private:
    RpcParams &Add(const char *name, CS_INT datatype, const void *value);
    PaRpcParam *entries_;
    size_t capacity_;
    size_t count_ = 0;
    bool ok_;
};

// Fetches the rows an RPC asked by process name and host gives into *list, as PaRpcFetchList
// does; a NULL or empty name asks for every process, a NULL or empty host for this agent's.
// *list is NULL unless the call succeeds.
int32_t FetchProcessRows(PaConnection *handle, int32_t rpc, const char *name, const char *host,
                         const PaRowDecoder *decoder, PaList **list);

}  // namespace pa

#endif
