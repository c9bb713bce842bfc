// The connection handle and the internal routines shared by the connection modules.
#ifndef AGENTCLIENT_CONNECTION_H
#define AGENTCLIENT_CONNECTION_H

#include <agentclient/pa.h>

#include <ctpublic.h>

namespace pa {
class Operation;
}

// The agent's last server message: its number, severity and text (always terminated).
struct PaServerMessageRecord {
    bool present;
    int32_t number;
    int32_t severity;
    char text[CS_MAX_MSG + 1];
};

// One handle per agent connection: its own Client-Library context, at most one open
// connection, the caller's callbacks and the flags the operations keep.
struct PaConnection {
    char *server_name;  // owned copies of the creator's texts
    char *app_name;
    char *user_name;
    char *password;                        // wiped before it is released
    char *host_name;                       // sent as the client's host; null: this machine's name
    PaNotificationFunc notification_func;  // the caller's, never released here
    PaRetryFunc retry_func;
    void *notification_data;
    void *retry_data;
    CS_CONTEXT *context;        // owned from creation to destruction
    CS_CONNECTION *connection;  // owned; null while not connected
    int32_t internal_mode;
    int32_t last_client_msg_number;
    int32_t advanced_diag;
    int32_t busy;
    int32_t secure_login;
    int32_t results_time_out;  // seconds a call may take; never below 1
    int32_t abandoned;         // 1 once PaConnectAbandon ran; through std::atomic_ref only, as any thread sets it
    PaServerMessageRecord last_server_message;  // the agent's last message in the current call
    pa::Operation *operation;                   // the call under way, owned by its stack frame; null between calls
};

// Marks the start of a step of a call (connect or RPC): the agent's messages and the
// client-message mark then speak of this step alone.
void PaBeginCall(PaConnection *handle);
// Records, when the Client-Library failed the call without saying why, the client message the
// Client-Library the library was designed for reports, so that the failure is classified.
void PaRecordSilentFailure(PaConnection *handle, CS_INT number);
// Whether the handle's connection is missing, unreadable or known to be dead.
bool PaConnectionBroken(const PaConnection *handle);

// The numbers recorded for failures FreeTDS reports without a client message: a connection that
// broke under a call (the net-library's disconnect, a network error), and a login the agent
// refused (the protocol layer's failed connect attempt, a general error).
constexpr CS_INT kPaBrokenConnectionNumber = (5 << 24) | (3 << 16) | (5 << 8) | 6;
constexpr CS_INT kPaRefusedLoginNumber     = (4 << 24) | (1 << 16) | (5 << 8) | 44;
// The number a time-out is recorded as: Client-Library's results time-out.
constexpr CS_INT kPaTimedOutNumber = (1 << 24) | (2 << 16) | (2 << 8) | 63;

// Seconds a reply may take on a new handle.
constexpr int32_t kPaDefaultResultsTimeout = 30;

// Builds the handle's Client-Library context: PaSUCCESS, or PaFAILURE with context null.
int32_t PaContextInit(PaConnection *handle, CS_INT version);
// Releases a context made by PaContextInit.
void PaContextExit(CS_CONTEXT *context);

// Client-Library callbacks installed on every context.
CS_RETCODE PaClientMsgHandler(CS_CONTEXT *context, CS_CONNECTION *connection, CS_CLIENTMSG *message);
CS_RETCODE PaServerMsgHandler(CS_CONTEXT *context, CS_CONNECTION *connection, CS_SERVERMSG *message);

// The handle stored as user data on connection, or null when there is none yet. Sets
// *failed when the user data cannot be read.
PaConnection *PaHandleOfConnection(CS_CONNECTION *connection, bool *failed);

// Reads the connection's status bits; false when there is no connection or the read fails.
bool PaReadConnectionStatus(const PaConnection *handle, CS_INT *status);

// What became of a discarded connection.
struct PaDiscardResult {
    bool closed;
    bool dropped;
};
// Closes the handle's connection with a forced close, drops it and forgets it. Client-Library
// contexts do not close their connections on exit, so every path that lets go of a
// connection comes through here.
PaDiscardResult PaDiscardConnection(PaConnection *handle);

#endif
