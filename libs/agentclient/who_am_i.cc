// The login of a handle's session as the agent sees it: its user, role and the user ids its
// processes may run as.
#include "records.h"
#include "rpc.h"

#include <protocol/rpc_table.h>

namespace {

namespace protocol = pa::protocol;

struct PaLogin {
    char *user;
    char *role;
    char *uids;
};

void PaLoginFreeContents(void *payload)
{
    auto *login = static_cast<PaLogin *>(payload);
    for (char *text : {login->user, login->role, login->uids}) {
        pa::Release(text);
    }
}

// Appends the login of the row; a row that memory cannot hold is left out.
void PaLoginRowDecode(const PaRpcColumn *columns, PaList *list, void **)
{
    auto *login = static_cast<PaLogin *>(pa::AllocUnlinkedElement(sizeof(PaLogin)));
    if (login == nullptr) {
        return;
    }
    *login = PaLogin{};
    PaListAddToTail(list, login);
    if (!pa::CopyText(columns[protocol::kColLoginUser].text, &login->user) ||
        !pa::CopyText(columns[protocol::kColLoginRole].text, &login->role) ||
        !pa::CopyText(columns[protocol::kColLoginUids].text, &login->uids)) {
        PaListDeleteElement(list, login, PaLoginFreeContents);
    }
}

const PaRowDecoder kLoginRowDecoder = {PaLoginRowDecode, PaLoginFreeContents};

}  // namespace

extern "C" {

int32_t PaServerWhoAmI(PaConnection *handle, char **user, char **role, char **uids)
{
    if (user == nullptr || role == nullptr || uids == nullptr) {
        return PaFAILURE;
    }
    *user = *role = *uids = nullptr;
    if (handle == nullptr) {
        return PaFAILURE;
    }
    pa::RpcParams params(0);
    PaList *fetched = nullptr;
    int32_t result =
        params.Ok() ? PaRpcFetchList(handle, protocol::kWhoAmI, params.List(), &kLoginRowDecoder, &fetched) : PaFAILURE;
    if (result != PaSUCCESS) {
        return result;
    }
    auto *login = static_cast<PaLogin *>(PaListGetHead(fetched));
    if (login == nullptr || login->user == nullptr || login->role == nullptr || login->uids == nullptr) {
        PaMsgLog(PaMSG_ERROR, "The agent %s did not say who the login is.", handle->server_name);
        PaListDestroy(fetched, PaLoginFreeContents);
        return PaFAILURE;
    }
    *user  = login->user;
    *role  = login->role;
    *uids  = login->uids;
    *login = PaLogin{};
    PaListDestroy(fetched, PaLoginFreeContents);
    return PaSUCCESS;
}

}  // extern "C"
