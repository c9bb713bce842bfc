// Feeds reply rows to the library's list operations through the scripted Client-Library: the
// input picks the list (processes, services or routes), then the columns of one or two result
// sets (count, datatype, width) and their rows (each value NULL, an integer or a text). Whatever
// the agent answers, the call must end with a list the library can release or none, leaving no
// Client-Library object behind.
#include <agentclient/pa.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "fakect.h"

#include <protocol/rpc_table.h>

namespace {

constexpr CS_INT kDatatypes[] = {CS_CHAR_TYPE, CS_LONGCHAR_TYPE, CS_INT_TYPE, CS_SMALLINT_TYPE};

fakect::Value ValueOf(FuzzedDataProvider &input)
{
    switch (input.ConsumeIntegralInRange(0, 4)) {
    case 0: return fakect::kNull;
    case 1: return input.ConsumeIntegral<CS_INT>();
    case 2: return std::string(pa::protocol::kNoValue);
    default: return input.ConsumeRandomLengthString(300);
    }
}

// Columns as the protocol lays them out, some changed by the input, and rows for them.
fakect::ResultSet ResultSetOf(FuzzedDataProvider &input, std::span<const pa::protocol::Field> layout)
{
    fakect::ResultSet set;
    std::size_t count = layout.size() - 1 + input.ConsumeIntegralInRange<std::size_t>(0, 2);
    for (std::size_t k = 0; k < count; ++k) {
        bool text     = k < layout.size() && layout[k].type == pa::protocol::Type::kText;
        CS_INT type   = text ? CS_CHAR_TYPE : CS_INT_TYPE;
        CS_INT length = text ? 256 : 4;
        if (input.ConsumeBool()) {
            type   = input.PickValueInArray(kDatatypes);
            length = input.ConsumeIntegralInRange<CS_INT>(-1, 40000);
        }
        set.columns.push_back({type, length});
    }
    for (std::size_t rows = input.ConsumeIntegralInRange(0, 6); rows > 0; --rows) {
        fakect::Row row;
        for (std::size_t k = 0; k < count; ++k)
            row.push_back(ValueOf(input));
        set.rows.push_back(std::move(row));
    }
    return set;
}

// Scripts the reply to every RPC that answers with rows of this layout.
void Script(FuzzedDataProvider &input, pa::protocol::Rows rows, std::span<const pa::protocol::Field> layout)
{
    fakect::Reply reply;
    for (int sets = input.ConsumeIntegralInRange(1, 2); sets > 0; --sets)
        reply.results.push_back(ResultSetOf(input, layout));
    if (input.ConsumeBool())
        reply.outcome = fakect::Outcome::kCommandFails;
    for (const auto &shape : pa::protocol::kRpcs) {
        if (shape.rows == rows)
            fakect::Scripted().Script(std::string(shape.name), reply);
    }
}

void fetch(FuzzedDataProvider &input, PaConnection *handle)
{
    using pa::protocol::Rows;
    PaList *list     = nullptr;
    int32_t selector = input.ConsumeBool() ? 1 : 0;
    switch (input.ConsumeIntegralInRange(0, 2)) {
    case 0:
        Script(input, Rows::kProcesses, pa::protocol::kProcessColumns);
        if (PaProcessGetList(handle, &list, selector) == PaSUCCESS)
            PaProcessListFree(list);
        break;
    case 1:
        Script(input, Rows::kServices, pa::protocol::kServiceColumns);
        if (PaServiceGetList(handle, &list, selector) == PaSUCCESS)
            PaServiceListFree(list);
        break;
    default:
        Script(input, Rows::kHosts, pa::protocol::kHostColumns);
        if (PaHostGetList(handle, &list, selector) == PaSUCCESS)
            PaHostListDestroy(list);
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    PaSetMsgLogLevel(PaMSG_FATAL_ERROR + 1);  // the rejected rows would flood the output
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    fakect::Scripted().Reset();
    PaConnection *handle = PaConnectCreate("agent", "fuzzer", "user", "password");
    if (handle == nullptr || PaConnect(handle) != PaSUCCESS)
        std::abort();
    fetch(input, handle);
    PaConnectDestroy(handle);
    if (fakect::Scripted().Undropped() != 0)
        std::abort();
    return 0;
}
