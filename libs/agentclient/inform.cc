// The one-shot report of a process's identifiers to the agent of a named server.
#include "rpc.h"

#include <protocol/inform_login.h>

namespace {

// Owns the inform handle for the life of one report.
class InformHandle {
public:
    explicit InformHandle(const char *server)
        : handle_(PaConnectCreate(server, pa::protocol::kInformApplication, pa::protocol::kInformUser,
                                  pa::protocol::kInformPassword))
    {
    }
    ~InformHandle() { PaConnectDestroy(handle_); }
    InformHandle(const InformHandle &)            = delete;
    InformHandle &operator=(const InformHandle &) = delete;
    PaConnection *Get() const { return handle_; }

private:
    PaConnection *handle_;
};

}  // namespace

extern "C" int32_t PaInformPA(const char *server, int32_t pid, int32_t process_id)
{
    InformHandle handle(server);
    if (handle.Get() == nullptr) {
        PaMsgLog(PaMSG_ERROR, "Failed to create connection structure.");
        return PaCONNECT_FAILED;
    }
    // The login, the report and the logout are one call.
    pa::Operation operation(handle.Get());
    if (PaConnect(handle.Get()) != PaSUCCESS) {
        PaMsgLog(PaMSG_ERROR, "Failed to connection to the specified PA Server.");
        return PaCONNECT_FAILED;
    }
    int32_t result = PaFAILURE;
    {
        pa::RpcParams params(2);
        if (params.Int(pa::Leading(pa::protocol::kNotification, 0), pid)
                .Int(pa::Leading(pa::protocol::kNotification, 1), process_id)
                .Ok()) {
            result = PaRpcCallReconnecting(handle.Get(), pa::protocol::kNotification, params.List(), nullptr);
        }
    }
    PaDisconnect(handle.Get(), 0);
    return result;
}
