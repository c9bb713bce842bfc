// Client and server message callbacks, and the notification callback installer.
#include "connection.h"
#include "login_stop.h"
#include "operation.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// Client-Library's number for its results time-out, and the lowest severity of a failed
// communication.
constexpr CS_INT kTimeoutNumber         = 63;
constexpr CS_INT kCommunicationSeverity = CS_SV_COMM_FAIL;

// FreeTDS reports errors raised in its protocol layer with their own numbers (20003 time-out,
// 20009 cannot connect, ...) and no layer or origin; its record's severity member carries
// the error class.
constexpr CS_INT kFreeTdsTimeout            = 20003;
constexpr CS_INT kFreeTdsResultsPending     = 20019;
constexpr CS_INT kFreeTdsCommunicationClass = 9;
// Server messages up to this severity inform; above it they report an error.
constexpr CS_INT kInformationalSeverity = 10;

constexpr CS_INT Packed(CS_INT layer, CS_INT origin, CS_INT severity, CS_INT number)
{
    return static_cast<CS_INT>((static_cast<uint32_t>(layer) << 24) | (static_cast<uint32_t>(origin) << 16) |
                               (static_cast<uint32_t>(severity & 0xFF) << 8) | static_cast<uint32_t>(number & 0xFF));
}

// The message number in the layered encoding: a time-out becomes number 63, a communication
// failure the network layer (5) with the net-library origin (3). Layered numbers pass as
// they are.
CS_INT NormalisedNumber(const CS_CLIENTMSG &message)
{
    if ((static_cast<uint32_t>(message.msgnumber) >> 16) != 0) {
        return message.msgnumber;
    }
    if (message.msgnumber == kFreeTdsTimeout) {
        return kPaTimedOutNumber;
    }
    if (message.severity == kFreeTdsCommunicationClass) {
        return Packed(5, 3, kCommunicationSeverity, message.msgnumber);
    }
    return Packed(1, 1, message.severity, message.msgnumber);
}

// Length of a fixed-size message field, trusting the record's length only within the field.
int FieldLength(CS_INT length, size_t size, const char *text)
{
    if (length >= 0) {
        return static_cast<int>(std::min(static_cast<size_t>(length), size));
    }
    return static_cast<int>(strnlen(text, size));
}

void PrintClientMessage(CS_INT number, const CS_CLIENTMSG &message)
{
    std::fprintf(stderr, "Open Client Message:\n");
    std::fprintf(stderr, "Message Number Decoding :-\n");
    std::fprintf(stderr, "Layer %ld, Origin %ld, Severity %ld, Number %ld\n", static_cast<long>(CS_LAYER(number)),
                 static_cast<long>(CS_ORIGIN(number)), static_cast<long>(CS_SEVERITY(number)),
                 static_cast<long>(CS_NUMBER(number)));
    std::fprintf(stderr, "Message String: %.*s\n\n",
                 FieldLength(message.msgstringlen, sizeof message.msgstring, message.msgstring), message.msgstring);
    if (message.osstringlen > 0) {
        std::fprintf(stderr, "Operating System Error: %.*s\n",
                     FieldLength(message.osstringlen, sizeof message.osstring, message.osstring), message.osstring);
    }
    std::fflush(stderr);
}

void PrintServerMessage(const CS_SERVERMSG &message)
{
    std::fprintf(stderr, "Open Server Message:\n");
    std::fprintf(stderr, "Message Number Decoding:\n");
    std::fprintf(stderr, "Number %ld, Severity %ld, State %ld, Line %ld\n\n", static_cast<long>(message.msgnumber),
                 static_cast<long>(message.severity), static_cast<long>(message.state),
                 static_cast<long>(message.line));
    if (message.svrnlen > 0) {
        std::fprintf(stderr, "From Server '%.*s'\n",
                     FieldLength(message.svrnlen, sizeof message.svrname, message.svrname), message.svrname);
    }
    if (message.proclen > 0) {
        std::fprintf(stderr, "Procedure '%.*s'\n", FieldLength(message.proclen, sizeof message.proc, message.proc),
                     message.proc);
    }
    std::fprintf(stderr, "Message String: %.*s\n", FieldLength(message.textlen, sizeof message.text, message.text),
                 message.text);
    std::fflush(stderr);
}

// Keeps the agent's message on the handle and logs it: an error (severity above 10) is the
// agent's reason for refusing a request.
void RecordServerMessage(PaConnection *handle, const CS_SERVERMSG &message)
{
    PaServerMessageRecord &record = handle->last_server_message;
    int length                    = FieldLength(message.textlen, sizeof message.text, message.text);
    std::memcpy(record.text, message.text, static_cast<size_t>(length));
    record.text[length] = '\0';
    record.number       = message.msgnumber;
    record.severity     = message.severity;
    record.present      = true;
    PaMsgLog(message.severity > kInformationalSeverity ? PaMSG_ERROR : PaMSG_INFORMATION,
             "Server message %d (severity %d) from %s: %s", static_cast<int>(record.number),
             static_cast<int>(record.severity), handle->server_name, record.text);
}

}  // namespace

void PaBeginCall(PaConnection *handle)
{
    handle->last_server_message.present = false;
    if (pa::Operation *operation = pa::Operation::Current(handle)) {
        operation->SetClientMessageInStep(false);
    }
}

void PaRecordSilentFailure(PaConnection *handle, CS_INT number)
{
    pa::Operation *operation = pa::Operation::Current(handle);
    if (operation == nullptr || !operation->ClientMessageInStep()) {
        handle->last_client_msg_number = number;
    }
}

bool PaConnectionBroken(const PaConnection *handle)
{
    CS_INT status = 0;
    return !PaReadConnectionStatus(handle, &status) || (status & CS_CONSTAT_DEAD) != 0 ||
           (status & CS_CONSTAT_CONNECTED) == 0;
}

PaConnection *PaHandleOfConnection(CS_CONNECTION *connection, bool *failed)
{
    *failed = false;
    if (connection == nullptr) {
        return nullptr;
    }
    PaConnection *handle = nullptr;
    CS_INT length        = 0;
    if (ct_con_props(connection, CS_GET, CS_USERDATA, &handle, sizeof handle, &length) != CS_SUCCEED) {
        PaMsgLog(PaMSG_ERROR, "Failed to retrieve user data.");
        *failed = true;
        return nullptr;
    }
    // User data not yet set reads back as nothing.
    return length == static_cast<CS_INT>(sizeof handle) ? handle : nullptr;
}

CS_RETCODE PaClientMsgHandler(CS_CONTEXT *, CS_CONNECTION *connection, CS_CLIENTMSG *message)
{
    bool failed          = false;
    PaConnection *handle = PaHandleOfConnection(connection, &failed);
    if (failed) {
        return CS_FAIL;
    }
    pa::Operation *operation = handle != nullptr ? pa::Operation::Current(handle) : nullptr;
    bool timed_out           = message->msgnumber == kFreeTdsTimeout;
    // FreeTDS's waits are sliced: the end of a slice is no time-out while the call has time left.
    if (timed_out && operation != nullptr && !operation->Expired()) {
        return CS_SUCCEED;
    }
    CS_INT number = NormalisedNumber(*message);
    if (handle != nullptr) {
        handle->last_client_msg_number = number;
        if (operation != nullptr) {
            operation->SetClientMessageInStep(true);
        }
        // A send refused while results are pending: the next reconnection must clear them.
        if (message->msgnumber == kFreeTdsResultsPending) {
            handle->busy = 1;
        }
        if (handle->advanced_diag == 1) {
            PrintClientMessage(number, *message);
        }
    }
    if (timed_out && operation != nullptr) {
        operation->SetTimedOut();
        // FreeTDS would answer a failed login by logging out from inside this very wait and then
        // wait for itself for ever: the login is left waiting, and the end of its socket ends it.
        if (operation->LoggingIn()) {
            pa::StopLoginOnEndpoint(connection);
            return CS_SUCCEED;
        }
    }
    if (CS_NUMBER(number) == kTimeoutNumber || CS_SEVERITY(number) >= kCommunicationSeverity) {
        return CS_FAIL;
    }
    return CS_SUCCEED;
}

CS_RETCODE PaServerMsgHandler(CS_CONTEXT *, CS_CONNECTION *connection, CS_SERVERMSG *message)
{
    bool failed          = false;
    PaConnection *handle = PaHandleOfConnection(connection, &failed);
    if (failed) {
        return CS_FAIL;
    }
    if (handle == nullptr) {
        return CS_SUCCEED;
    }
    RecordServerMessage(handle, *message);
    if (handle->advanced_diag == 1) {
        PrintServerMessage(*message);
    }
    return CS_SUCCEED;
}

extern "C" int32_t PaInstallNotifcationCB(PaConnection *handle, PaNotificationFunc callback, void *user_data)
{
    if (handle == nullptr) {
        return PaFAILURE;
    }
    if (handle->connection == nullptr) {
        PaMsgLog(PaMSG_ERROR, "Attempt to install user handler before connection made.");
        return PaFAILURE;
    }
    handle->notification_func = callback;
    handle->notification_data = user_data;
    return PaSUCCESS;
}
