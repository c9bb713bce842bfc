// Handle creation, connection establishment with the optional secure-login challenge, and
// handle destruction.
#include "connection.h"
#include "login_stop.h"
#include "memory.h"
#include "operation.h"

#include <protocol/inform_login.h>

#include <atomic>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

namespace {

constexpr const char *kSecureLoginUser     = "secure-login";
constexpr const char *kSecureLoginPassword = "lunar-pebble";
constexpr const char *kSecureLoginLibrary  = "libauthgate.so.1";
constexpr const char *kSecureLoginFunction = "KovaSecureLoginSendLogin";
constexpr size_t kHostNameSize             = 256;

using SecureLoginFunc = CS_RETCODE (*)(CS_CONNECTION *, CS_INT, CS_INT *, CS_DATAFMT *, CS_VOID *, CS_DATAFMT *,
                                       CS_VOID *, CS_INT *, CS_CHAR *, CS_CHAR *, CS_INT);

void ReleaseText(char *&text, bool wipe = false)
{
    if (text == nullptr) {
        return;
    }
    if (wipe) {
        explicit_bzero(text, std::strlen(text));
    }
    PaFree(text);
    text = nullptr;
}

// Releases a handle that holds no connection.
void ReleaseHandle(PaConnection *handle)
{
    if (handle->context != nullptr) {
        PaContextExit(handle->context);
    }
    ReleaseText(handle->server_name);
    ReleaseText(handle->app_name);
    ReleaseText(handle->user_name);
    ReleaseText(handle->password, true);
    ReleaseText(handle->host_name);
    PaFree(handle);
}

PaConnection *PaConnectCreateCommon(const char *server, const char *application, const char *user, const char *password,
                                    CS_INT version, int32_t secure)
{
    if (server == nullptr || application == nullptr || user == nullptr || password == nullptr ||
        (std::strcmp(application, pa::protocol::kInformApplication) != 0 &&
         std::strcmp(user, pa::protocol::kInformUser) == 0)) {
        if (server != nullptr) {
            PaMsgLog(PaMSG_ERROR, "Failed to make a connection to %s.", server);
        }
        return nullptr;
    }
    auto *handle = static_cast<PaConnection *>(PaMalloc(sizeof(PaConnection)));
    if (handle == nullptr) {
        return nullptr;
    }
    *handle                  = PaConnection{};
    handle->results_time_out = kPaDefaultResultsTimeout;
    if (PaContextInit(handle, version) != PaSUCCESS) {
        PaFree(handle);
        return nullptr;
    }
    handle->server_name  = PaStrDup(server);
    handle->app_name     = PaStrDup(application);
    handle->user_name    = PaStrDup(user);
    handle->password     = PaStrDup(password);
    handle->secure_login = secure;
    if (handle->server_name == nullptr || handle->app_name == nullptr || handle->user_name == nullptr ||
        handle->password == nullptr) {
        ReleaseHandle(handle);
        return nullptr;
    }
    return handle;
}

// Resolves the secure-login function once; a failed load is tried again at the next login.
SecureLoginFunc SecureLoginFunction()
{
    // Atomic, as handles on several threads may log in at once; two loads give the same function.
    static std::atomic<SecureLoginFunc> function{nullptr};
    if (SecureLoginFunc known = function.load()) {
        return known;
    }
    void *library = dlopen(kSecureLoginLibrary, RTLD_NOW | RTLD_LOCAL);
    void *symbol  = library != nullptr ? dlsym(library, kSecureLoginFunction) : nullptr;
    if (symbol == nullptr) {
        PaMsgLog(PaMSG_ERROR, "Failed to load the secure login function %s: %s", kSecureLoginFunction, dlerror());
        return nullptr;
    }
    function.store(reinterpret_cast<SecureLoginFunc>(symbol));
    return function.load();
}

CS_RETCODE PaSecureLoginChallengeHandler(CS_CONNECTION *connection, CS_INT received_id, CS_INT *send_id,
                                         CS_DATAFMT *input_format, CS_BYTE *input, CS_DATAFMT *output_format,
                                         CS_BYTE *output, CS_INT *output_length)
{
    bool failed          = false;
    PaConnection *handle = PaHandleOfConnection(connection, &failed);
    if (handle == nullptr) {
        if (!failed) {
            PaMsgLog(PaMSG_ERROR, "Failed to retrieve user data.");
        }
        return CS_FAIL;
    }
    SecureLoginFunc send_login = SecureLoginFunction();
    if (send_login == nullptr) {
        return CS_FAIL;
    }
    return send_login(connection, received_id, send_id, input_format, input, output_format, output, output_length,
                      handle->user_name, handle->password, 1);
}

// Sets a text login property.
bool SetText(CS_CONNECTION *connection, CS_INT property, const char *value)
{
    return ct_con_props(connection, CS_SET, property, const_cast<char *>(value), CS_NULLTERM, nullptr) == CS_SUCCEED;
}

bool SetFlag(CS_CONNECTION *connection, CS_INT property)
{
    CS_BOOL on = CS_TRUE;
    return ct_con_props(connection, CS_SET, property, &on, CS_UNUSED, nullptr) == CS_SUCCEED;
}

// Installs the challenge callback and reads it back: a Client-Library that accepts the
// callback without keeping it would otherwise log in with the placeholder credentials.
bool InstallChallengeCallback(CS_CONNECTION *connection)
{
    auto *callback = reinterpret_cast<CS_VOID *>(&PaSecureLoginChallengeHandler);
    if (ct_callback(nullptr, connection, CS_SET, CS_CHALLENGE_CB, callback) != CS_SUCCEED) {
        return false;
    }
    CS_VOID *installed = nullptr;
    return ct_callback(nullptr, connection, CS_GET, CS_CHALLENGE_CB, &installed) == CS_SUCCEED && installed == callback;
}

// The name of this host; empty when it cannot be had and the failure did not end the process.
void ReadHostName(char (&name)[kHostNameSize])
{
    std::memset(name, 0, sizeof name);
    if (gethostname(name, sizeof name - 1) == -1) {
        PaMsgLog(PaMSG_FATAL_ERROR, "Failed to get the host name of clients host.");
        name[0] = '\0';
    }
}

// Logs in on the handle's prepared connection within what is left of the call.
bool Login(PaConnection *handle, pa::Operation &operation)
{
    bool connected = false;
    {
        pa::LoginStop stop(handle->server_name, operation.Deadline());
        operation.SetLoggingIn(true);
        connected = ct_connect(handle->connection, handle->server_name, CS_NULLTERM) == CS_SUCCEED;
        operation.SetLoggingIn(false);
        // The watcher may still be acting when the shut-down it made ends the login.
        if (stop.Finish()) {
            operation.SetTimedOut();
        }
    }
    if (operation.TimedOut()) {
        PaMsgLog(PaMSG_ERROR, "%s did not answer the login within %lld seconds.", handle->server_name,
                 static_cast<long long>(operation.BudgetSeconds()));
        handle->last_client_msg_number = kPaTimedOutNumber;
        return false;
    }
    if (!connected) {
        // FreeTDS reports a refused login only through the agent's message.
        PaRecordSilentFailure(handle, kPaRefusedLoginNumber);
    }
    return connected;
}

// Opens the handle's connection: PaSUCCESS, or PaCONNECT_FAILED with nothing left open.
int32_t PaConnectEstablish(PaConnection *handle, pa::Operation &operation)
{
    if (operation.Expired()) {
        PaMsgLog(PaMSG_ERROR, "No time is left in the call to connect to %s.", handle->server_name);
        handle->last_client_msg_number = kPaTimedOutNumber;
        return PaCONNECT_FAILED;
    }
    if (ct_con_alloc(handle->context, &handle->connection) != CS_SUCCEED) {
        handle->connection = nullptr;
        PaMsgLog(PaMSG_ERROR, "Failed to allocate connection structure.");
        return PaCONNECT_FAILED;
    }
    CS_CONNECTION *connection = handle->connection;
    auto fail                 = [connection](const char *message, const char *argument = nullptr) {
        PaMsgLog(PaMSG_ERROR, message, argument);
        ct_con_drop(connection);
        return PaCONNECT_FAILED;
    };

    const char *login_user     = handle->user_name;
    const char *login_password = handle->password;
    if (handle->secure_login == 1) {
        PaMsgLog(PaMSG_DEBUG, "Connection to remote PA is made with secure login.");
        login_user     = kSecureLoginUser;
        login_password = kSecureLoginPassword;
        if (!SetFlag(connection, CS_SEC_CHALLENGE)) {
            return fail("Failed to set security challenge connection property.");
        }
        if (!InstallChallengeCallback(connection)) {
            return fail("Failed to set callback for secure login challenge.");
        }
    } else {
        PaMsgLog(PaMSG_DEBUG, "Connection to remote PA is not made with secure login.");
    }
    if (!SetText(connection, CS_USERNAME, login_user)) {
        return fail("Failed to set user name connection property.");
    }
    if (!SetText(connection, CS_PASSWORD, login_password)) {
        return fail("Failed to set password connection property.");
    }
    if (!SetText(connection, CS_APPNAME, handle->app_name)) {
        return fail("Failed to set application name connection property.");
    }
    char host_name[kHostNameSize];
    if (handle->host_name == nullptr) {
        ReadHostName(host_name);
    }
    if (!SetText(connection, CS_HOSTNAME, handle->host_name != nullptr ? handle->host_name : host_name)) {
        return fail("Failed to set host name connection property.");
    }
    PaConnection *self = handle;
    if (ct_con_props(connection, CS_SET, CS_USERDATA, &self, sizeof self, nullptr) != CS_SUCCEED) {
        return fail("Failed to install notification callback user data.");
    }
    if (!SetFlag(connection, CS_DIAG_TIMEOUT)) {
        return fail("Failed to set the CS_DIAG_TIMEOUT connection prop.");
    }
    // Agents speak TDS 5.0; without this FreeTDS first probes with a newer protocol. A
    // Client-Library that refuses the property still connects with its own default.
    CS_INT tds_version = CS_TDS_50;
    ct_con_props(connection, CS_SET, CS_TDS_VERSION, &tds_version, CS_UNUSED, nullptr);
    // What is left of the call bounds the TCP connection and each wait of the login; once logged
    // in, the Client-Library waits one slice at a time.
    CS_INT login_time_out = operation.SecondsLeft();
    ct_con_props(connection, CS_SET, CS_LOGIN_TIMEOUT, &login_time_out, CS_UNUSED, nullptr);
    CS_INT slice = pa::kWaitSliceSeconds;
    ct_con_props(connection, CS_SET, CS_TIMEOUT, &slice, CS_UNUSED, nullptr);
    return Login(handle, operation) ? PaSUCCESS : fail("Failed to make a connection to %s.", handle->server_name);
}

}  // namespace

extern "C" {

PaConnection *PaConnectCreate(const char *server, const char *application, const char *user, const char *password)
{
    return PaConnectCreateCommon(server, application, user, password, CS_VERSION_150, 0);
}

PaConnection *PaSecureConnectCreate(const char *server, const char *application, const char *user, const char *password)
{
    return PaConnectCreateCommon(server, application, user, password, CS_VERSION_150, 1);
}

PaConnection *PaConnectCreateSybase10(const char *server, const char *application, const char *user,
                                      const char *password)
{
    return PaConnectCreateCommon(server, application, user, password, CS_VERSION_100, 0);
}

int32_t PaConnectSetHostName(PaConnection *handle, const char *host_name)
{
    if (handle == nullptr || host_name == nullptr) {
        return PaFAILURE;
    }
    char *copy = PaStrDup(host_name);
    if (copy == nullptr) {
        return PaFAILURE;
    }
    ReleaseText(handle->host_name);
    handle->host_name = copy;
    return PaSUCCESS;
}

int32_t PaConnect(PaConnection *handle)
{
    if (handle == nullptr) {
        return PaCONNECT_FAILED;
    }
    pa::Operation operation(handle);
    PaBeginCall(handle);
    // A handle holds at most one connection: a second connect replaces the first.
    if (handle->connection != nullptr) {
        PaDiscardConnection(handle);
    }
    int32_t status = PaConnectEstablish(handle, operation);
    if (status != PaSUCCESS) {
        handle->connection = nullptr;
    }
    return status;
}

void PaConnectAbandon(PaConnection *handle)
{
    if (handle != nullptr) {
        std::atomic_ref(handle->abandoned).store(1, std::memory_order_release);
    }
}

int32_t PaConnectDestroy(PaConnection *handle)
{
    if (handle != nullptr) {
        {
            // The logout of a connection still open is bounded like a call.
            pa::Operation operation(handle);
            if (handle->connection != nullptr) {
                PaDiscardConnection(handle);
            }
        }
        ReleaseHandle(handle);
    }
    return PaSUCCESS;
}

}  // extern "C"
