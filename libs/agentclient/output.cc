// A process's output, read by cursor.
#include "long_poll.h"
#include "memory.h"
#include "process.h"
#include "records.h"

#include <protocol/base64.h>
#include <protocol/rpc_table.h>

#include <cstring>
#include <utility>

namespace {

namespace protocol = pa::protocol;

// One row's piece of output, as it arrived.
struct OutputPiece {
    int64_t cursor;  // just after its bytes
    int64_t lost;    // bytes gone before them
    size_t length;
    char *bytes;
};

void OutputPieceFree(void *payload) { pa::Release(static_cast<OutputPiece *>(payload)->bytes); }

// Appends one row's piece; a row the agent garbled, or that memory cannot hold, is marked by a
// piece without bytes that fails the read.
void OutputRowDecode(const PaRpcColumn *columns, PaList *list, void **)
{
    auto *piece = static_cast<OutputPiece *>(pa::AllocUnlinkedElement(sizeof(OutputPiece)));
    if (piece == nullptr) {
        return;
    }
    *piece = OutputPiece{};
    PaListAddToTail(list, piece);
    const char *data  = columns[protocol::kColOutputData].text;
    const size_t size = data != nullptr ? std::strlen(data) : 0;
    piece->bytes      = static_cast<char *>(PaMalloc(protocol::Base64DecodedRoom(size) + 1));
    if (piece->bytes == nullptr || !pa::ParseDecimal(columns[protocol::kColOutputCursor].text, &piece->cursor) ||
        !pa::ParseDecimal(columns[protocol::kColOutputLost].text, &piece->lost)) {
        pa::Release(std::exchange(piece->bytes, nullptr));
        return;
    }
    if (!protocol::Base64Decode({data != nullptr ? data : "", size}, piece->bytes, &piece->length)) {
        PaMsgLog(PaMSG_ERROR, "The agent sent output that is not base64.");
        pa::Release(std::exchange(piece->bytes, nullptr));
    }
}

const PaRowDecoder kOutputRowDecoder = {OutputRowDecode, OutputPieceFree};

// Joins the pieces into one buffer with a terminating zero; false when a piece is missing.
bool Join(const PaList *pieces, char **text, size_t *length, int64_t *lost, int64_t *cursor)
{
    size_t total = 0;
    for (auto *piece = pa::First<OutputPiece>(pieces); piece != nullptr; piece = pa::Next(piece)) {
        if (piece->bytes == nullptr) {
            return false;
        }
        total += piece->length;
    }
    auto *last = static_cast<const OutputPiece *>(PaListGetTail(pieces));
    if (last == nullptr) {
        PaMsgLog(PaMSG_ERROR, "The agent's output reply held no row.");
        return false;
    }
    pa::Owned<char> joined(static_cast<char *>(PaMalloc(total + 1)));
    if (joined == nullptr) {
        return false;
    }
    size_t at = 0;
    *lost     = 0;
    for (auto *piece = pa::First<OutputPiece>(pieces); piece != nullptr; piece = pa::Next(piece)) {
        std::memcpy(joined.get() + at, piece->bytes, piece->length);
        at += piece->length;
        *lost += piece->lost;
    }
    joined.get()[total] = '\0';
    *text               = joined.release();
    *length             = total;
    *cursor             = last->cursor;
    return true;
}

}  // namespace

extern "C" {

int32_t PaProcessOutputRead(PaConnection *handle, const PaProcess *process, int64_t *cursor, int32_t tail_lines,
                            int32_t wait_seconds, char **text, size_t *length, int64_t *lost)
{
    if (text != nullptr) {
        *text = nullptr;
    }
    if (handle == nullptr || process == nullptr || cursor == nullptr || text == nullptr || length == nullptr ||
        lost == nullptr || tail_lines < 0 || !pa::WaitFits(handle, wait_seconds)) {
        return PaFAILURE;
    }
    if (process->host_name == nullptr) {
        PaMsgLog(PaMSG_ERROR, "Missing command argument in process.");
        return PaMISSING_ARGUMENT;
    }
    const int32_t rpc = protocol::kProcessOutput;
    pa::DecimalText from(*cursor);
    pa::RpcParams params(5);
    params.Text(pa::Leading(rpc, 0), process->name)
        .Text(pa::Leading(rpc, 1), process->host_name)
        .Text(pa::Leading(rpc, 2), from.text)
        .Int(pa::Leading(rpc, 3), tail_lines)
        .Int(pa::Leading(rpc, 4), wait_seconds);
    if (!params.Ok()) {
        return PaFAILURE;
    }
    pa::Operation operation(handle, pa::WaitBudget(wait_seconds));
    PaList *pieces = nullptr;
    int32_t result = PaRpcFetchList(handle, rpc, params.List(), &kOutputRowDecoder, &pieces);
    if (result != PaSUCCESS) {
        return result;
    }
    int64_t next  = *cursor;
    const bool ok = Join(pieces, text, length, lost, &next);
    PaListDestroy(pieces, OutputPieceFree);
    if (!ok) {
        return PaFAILURE;
    }
    *cursor = next;
    return PaSUCCESS;
}

}  // extern "C"
