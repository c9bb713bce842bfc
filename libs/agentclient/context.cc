// The Client-Library context of a handle: allocation, message callbacks, interfaces file and
// the slice of its waits, and the one-time SYBASE and FREETDSCONF settings that point Client-Library
// at the installation.
#include "connection.h"
#include "operation.h"
#include "utils.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unistd.h>

namespace {

constexpr size_t kInterfacesPathSize = 260;

std::once_flag environment_prepared;

// Points FreeTDS at the installation's freetds.conf, where it is told to encrypt passwords,
// unless the caller chose a configuration file.
void UseInstallationFreetdsConf()
{
    char path[PATH_MAX];
    int length = std::snprintf(path, sizeof path, "%s/freetds.conf", PaGetVthome());
    if (std::getenv("FREETDSCONF") == nullptr && length > 0 && static_cast<size_t>(length) < sizeof path &&
        access(path, F_OK) == 0) {
        setenv("FREETDSCONF", path, 0);
    }
}

// Points the Client-Library at the installation, once per process, however many threads create
// their first handles at once.
void PrepareEnvironment()
{
    std::call_once(environment_prepared, [] {
        setenv("SYBASE", PaGetVthome(), 1);
        UseInstallationFreetdsConf();
    });
}

void LogVersion(CS_INT version)
{
    switch (version) {
    case CS_VERSION_100: PaMsgLog(PaMSG_DEBUG, "Using Sybase 10.x."); break;
    case CS_VERSION_110: PaMsgLog(PaMSG_DEBUG, "Using Sybase 11.x."); break;
    case CS_VERSION_125: PaMsgLog(PaMSG_DEBUG, "Using Sybase 12.5."); break;
    case CS_VERSION_150: PaMsgLog(PaMSG_DEBUG, "Using Sybase 15.0."); break;
    default: break;
    }
}

// Owns a context until the set-up completes; a set-up that fails part way releases it.
class ContextSetup {
public:
    explicit ContextSetup(PaConnection *handle) : handle_(handle) {}
    ~ContextSetup()
    {
        if (handle_ == nullptr || handle_->context == nullptr) {
            return;
        }
        if (initialised_) {
            ct_exit(handle_->context, CS_FORCE_EXIT);
        }
        cs_ctx_drop(handle_->context);
        handle_->context = nullptr;
    }
    ContextSetup(const ContextSetup &)            = delete;
    ContextSetup &operator=(const ContextSetup &) = delete;

    void Initialised() { initialised_ = true; }
    int32_t Fail(const char *message)
    {
        PaMsgLog(PaMSG_ERROR, "%s", message);
        return PaFAILURE;
    }
    int32_t Complete()
    {
        handle_ = nullptr;
        return PaSUCCESS;
    }

private:
    PaConnection *handle_;
    bool initialised_ = false;
};

}  // namespace

int32_t PaContextInit(PaConnection *handle, CS_INT version)
{
    // Nothing is read from a relative home: the settings there may be another user's.
    if (PaGetVthome() == nullptr) {
        PaMsgLog(PaMSG_ERROR, "VTHOME must be an absolute path, not '%s'.", std::getenv("VTHOME"));
        return PaFAILURE;
    }
    PrepareEnvironment();
    LogVersion(version);

    PaMsgLog(PaMSG_DEBUG, "Allocating a context structure.");
    if (cs_ctx_alloc(version, &handle->context) != CS_SUCCEED) {
        handle->context = nullptr;
        PaMsgLog(PaMSG_ERROR, "Failed to allocate server context structure.");
        return PaFAILURE;
    }
    ContextSetup setup(handle);
    CS_CONTEXT *context = handle->context;

    PaMsgLog(PaMSG_DEBUG, "Initialising the CT Library");
    if (ct_init(context, version) != CS_SUCCEED) {
        return setup.Fail("Failed to Initialise Open Server.");
    }
    setup.Initialised();

    PaMsgLog(PaMSG_DEBUG, "Installing Client and Server Callbacks.");
    if (ct_callback(context, nullptr, CS_SET, CS_CLIENTMSG_CB, reinterpret_cast<CS_VOID *>(&PaClientMsgHandler)) !=
        CS_SUCCEED) {
        return setup.Fail("Failed to install the Client Message Handler.");
    }
    if (ct_callback(context, nullptr, CS_SET, CS_SERVERMSG_CB, reinterpret_cast<CS_VOID *>(&PaServerMsgHandler)) !=
        CS_SUCCEED) {
        return setup.Fail("Failed to install the Server Message Handler.");
    }

    PaMsgLog(PaMSG_DEBUG, "Set Interfaces file location property.");
    char interfaces[kInterfacesPathSize];
    if (PaGetInterfacesFilePath(interfaces, sizeof interfaces) <= 0 ||
        ct_config(context, CS_SET, CS_IFILE, interfaces, CS_NULLTERM, nullptr) != CS_SUCCEED) {
        return setup.Fail("Failed to set interfaces file location");
    }

    // The Client-Library waits one slice at a time; the call's operation decides after each.
    CS_INT timeout = pa::kWaitSliceSeconds;
    if (ct_config(context, CS_SET, CS_TIMEOUT, &timeout, CS_UNUSED, nullptr) != CS_SUCCEED) {
        return setup.Fail("Failed to set the results time-out setting.");
    }
    return setup.Complete();
}

void PaContextExit(CS_CONTEXT *context)
{
    ct_exit(context, CS_FORCE_EXIT);
    cs_ctx_drop(context);
}
