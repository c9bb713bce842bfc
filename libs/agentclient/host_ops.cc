// The agent's routing table through its RPCs, and the decoding of host rows.
#include "host.h"
#include "rpc.h"

namespace {

void PaHostRowDecode(const PaRpcColumn *columns, PaList *list, void **)
{
    PaHost *host = PaHostAllocElement(columns[0].text, columns[1].text);  // host, server
    if (host != nullptr) {
        PaListAddToTail(list, host);
    }
}

// Sends the entry's two names to the add or remove RPC.
int32_t PaHostSend(PaConnection *handle, const PaHost *host, int32_t rpc)
{
    if (handle == nullptr || host == nullptr) {
        return PaFAILURE;
    }
    pa::RpcParams params(2);
    if (!params.Text(pa::Leading(rpc, 0), host->host_name).Text(pa::Leading(rpc, 1), host->server_name).Ok()) {
        return PaFAILURE;
    }
    return PaRpcCallReconnecting(handle, rpc, params.List(), nullptr);
}

const PaRowDecoder kHostRowDecoder = {PaHostRowDecode, PaHostFreeContents};

}  // namespace

extern "C" {

int32_t PaHostGetList(PaConnection *handle, PaList **list, int32_t fetch_argument)
{
    if (handle == nullptr || list == nullptr) {
        return PaFAILURE;
    }
    pa::RpcParams params(1);
    if (!params.Int(pa::Leading(pa::protocol::kHostList), fetch_argument).Ok()) {
        return PaFAILURE;
    }
    return PaRpcFetchList(handle, pa::protocol::kHostList, params.List(), &kHostRowDecoder, list);
}

int32_t PaHostAdd(PaConnection *handle, const PaHost *host) { return PaHostSend(handle, host, pa::protocol::kHostAdd); }

int32_t PaHostRemove(PaConnection *handle, const PaHost *host)
{
    return PaHostSend(handle, host, pa::protocol::kHostRemove);
}

}  // extern "C"
