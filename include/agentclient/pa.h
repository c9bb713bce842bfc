/*
 * agentclient: client library of the process agent.
 *
 * This is the one header a caller includes. It is usable from C (C99 or later) and C++.
 * Every function is declared below, grouped by family, with a one-line contract that says
 * who owns what it returns.
 *
 * General rules:
 *   - Operations that report an outcome return one of the status codes below (int32_t).
 *     Codes are part of the interface and are never renumbered.
 *   - Whoever creates releases, with the function of the same family. Texts returned by
 *     getters are new copies, released with PaFree; PaGetKovahome, PaGetArch and
 *     PaGetVersionString return shared texts that the caller does not release.
 *   - Failures are also logged once, through the message log, where they happen.
 *   - Process-wide settings (memory hooks, log settings) are made once, before the library
 *     is used from several threads. The library starts no threads and takes no locks.
 */
#ifndef AGENTCLIENT_PA_H
#define AGENTCLIENT_PA_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(_WIN32)
#  if defined(PA_BUILDING_LIBRARY)
#    define PA_EXPORT __declspec(dllexport)
#  else
#    define PA_EXPORT
#  endif
#  define PA_PRINTF(fmt, first)
#else
#  define PA_EXPORT __attribute__((visibility("default")))
#  define PA_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ======================================================================================
 * Status codes
 * ==================================================================================== */

enum {
    PaSUCCESS               = 0,  /* the operation succeeded */
    PaFOUND                 = 1,  /* the process is already a member of the service */
    PaNOT_FOUND             = 2,  /* the process is not a member of the service */
    PaFAILURE               = 3,  /* generic failure */
    PaCONNECT_FAILED        = 6,  /* a connection was not created, opened or re-opened */
    PaUNKNOWN_ATTRIBUTE     = 7,  /* attribute identifier unknown to a get or set */
    PaSTATUS_UNKNOWN        = 8,  /* status query: the agent reported no state */
    PaSERVICE_STATUS_FAILED = 9,  /* service status query failed */
    PaPROCESS_STATUS_FAILED = 10, /* process status query failed */
    PaMISSING_ARGUMENT      = 11, /* a process record lacks the host name or command */
    PaGENERAL_ERROR         = 13, /* last client message is not a network error */
    PaNO_ERROR              = 14, /* no client message recorded */
    PaNETWORK_ERROR         = 15, /* last client message is a network error */
    PaCONNECTION_LOST       = 16  /* no command could be sent, or retries were exhausted */
};

/* ======================================================================================
 * Message levels
 * ==================================================================================== */

enum {
    PaMSG_DEBUG       = 1,
    PaMSG_INFORMATION = 2,
    PaMSG_WARNING     = 3,  /* the default threshold */
    PaMSG_ERROR       = 4,
    PaMSG_FATAL_ERROR = 5   /* a delivered Fatal Error message ends the process (status 1) */
};

/* Size in bytes of the library's own formatting buffer. A user buffer given to
 * PaSetUserLoggerFunc must hold at least this many bytes; longer messages are cut. */
#define PaMSG_BUFFER_SIZE 8448

/* Longest format string the log accepts; a longer one is refused with an Error notice. */
#define PaMSG_MAX_FORMAT_LENGTH 8191

/* ======================================================================================
 * Record attributes and enumerations
 * ==================================================================================== */

/* Process attribute identifiers. In attribute lists, integers are passed as int32_t, texts
 * as const char * (NULL means none, never a bare 0), the handle as PaProcessHandle; getters
 * take pointers to variables of those types. Identifier 0 ends a list. */
enum {
    PaPROCESS_NAME        = 1,  /* text */
    PaPROCESS_HOSTNAME    = 2,  /* text */
    PaPROCESS_COMMAND     = 3,  /* text */
    PaPROCESS_EUID        = 4,  /* integer: user id the command runs as */
    PaPROCESS_MANAGED     = 5,  /* integer, 0 or 1 */
    PaPROCESS_PID         = 6,  /* integer */
    PaPROCESS_RESTART_MSG = 7,  /* text */
    PaPROCESS_ALERT_MSG   = 8,  /* text */
    PaPROCESS_RETRY_COUNT = 9,  /* integer */
    PaPROCESS_TYPE        = 10, /* integer, one of the process types */
    PaPROCESS_HANDLE      = 11  /* PaProcessHandle */
};

/* Process types. */
enum {
    PaDAEMON_PROCESS = 0,
    PaPA_AWARE       = 1,
    PaNOT_PA_AWARE   = 2
};

/* Service attribute identifiers. Identifier 0 ends a list. */
enum {
    PaSERVICE_NAME          = 1, /* text */
    PaSERVICE_TYPE          = 2, /* integer, a service type */
    PaSERVICE_START         = 3, /* integer, a start mode */
    PaSERVICE_PROCESS_COUNT = 4, /* integer, read only */
    PaSERVICE_PROCESS_LIST  = 5  /* PaList * of PaServProcess members */
};

/* Service types. */
enum {
    PaSERVICE_MASTER     = 0,
    PaSERVICE_NON_MASTER = 1
};

/* Service start modes. */
enum {
    PaSERVICE_AUTO     = 2,
    PaSERVICE_NON_AUTO = 3
};

/* Kinds of a service member's value. */
enum {
    PaVALUE_INTEGER = 0,
    PaVALUE_TEXT    = 1,
    PaVALUE_NONE    = 2
};

/* ======================================================================================
 * Types
 * ==================================================================================== */

typedef struct PaConnection PaConnection; /* connection handle: owned by its creator */
typedef struct PaProcess PaProcess;       /* process record */
typedef struct PaService PaService;       /* service record */
typedef struct PaHost PaHost;             /* host routing entry */
typedef struct PaList PaList;             /* doubly linked list of payloads */

/* An operating-system handle on a running process: a Linux pidfd, 0 meaning none. */
typedef int PaProcessHandle;

/* A member of a service: a process with a value of one of the PaVALUE_ kinds. */
typedef struct PaServProcess {
    PaProcess *process;
    int32_t kind;
    union {
        int32_t intValue;   /* PaVALUE_INTEGER; 0 for PaVALUE_NONE */
        char *textValue;    /* PaVALUE_TEXT, owned by the entry */
    } value;
} PaServProcess;

/* Memory hooks: the library's every allocation goes through these. */
typedef void *(*PaAllocFunc)(size_t size);
typedef void (*PaFreeFunc)(void *block);
typedef void *(*PaReallocFunc)(void *block, size_t size);
typedef char *(*PaStrDupFunc)(const char *text);

/* Receives every message that passes the threshold while installed: the level, the bare
 * text (no time stamp, no line end), the level's name and the user data. */
typedef void (*PaUserLoggerFunc)(int32_t level, const char *text, const char *levelName,
                                 void *userData);

/* List callbacks, given a payload pointer. A free function releases what the payload owns,
 * never the payload itself. */
typedef void (*PaListInitFunc)(void *payload);
typedef void (*PaListFreeFunc)(void *payload);

/* Retry callback: return 1 to send a failed RPC again, anything else not to. */
typedef int32_t (*PaRetryFunc)(PaConnection *connection, void *retryData);

/* Notification callback: stored with its user data; the library fixes no arguments. */
typedef void (*PaNotificationFunc)(void);

/* ======================================================================================
 * Memory
 * The four wrappers call the installed hooks (initially malloc, free, realloc, strdup).
 * Exhaustion is logged at Fatal Error, which ends the process unless the log threshold is
 * above PaMSG_FATAL_ERROR; then NULL is returned.
 * ==================================================================================== */

/* Allocates size bytes; NULL on exhaustion. The caller releases the block with PaFree. */
PA_EXPORT void *PaMalloc(size_t size);
/* Resizes block; NULL on exhaustion (block unchanged). A NULL block is refused (Error) and
 * allocates nothing. After a size of 0 the block may be gone even though NULL is returned. */
PA_EXPORT void *PaRealloc(void *block, size_t size);
/* Returns a new copy of text (NULL for NULL); the caller releases it with PaFree. */
PA_EXPORT char *PaStrDup(const char *text);
/* Releases block. A NULL block is refused with an Error line. */
PA_EXPORT void PaFree(void *block);

/* Install a hook; takes effect at the next wrapper call. NULL restores the runtime function
 * for the wrappers, while the getter then returns NULL. */
PA_EXPORT void PaMemorySetAlloc(PaAllocFunc hook);
PA_EXPORT void PaMemorySetFree(PaFreeFunc hook);
PA_EXPORT void PaMemorySetRealloc(PaReallocFunc hook);
PA_EXPORT void PaMemorySetStrDup(PaStrDupFunc hook);
/* Return the installed hook. */
PA_EXPORT PaAllocFunc PaMemoryGetAlloc(void);
PA_EXPORT PaFreeFunc PaMemoryGetFree(void);
PA_EXPORT PaReallocFunc PaMemoryGetRealloc(void);
PA_EXPORT PaStrDupFunc PaMemoryGetStrDup(void);

/* ======================================================================================
 * Message log
 * A message below the threshold (default PaMSG_WARNING) is dropped. One that passes goes to
 * the user logger if one is installed, else to the stream (default standard error) as
 * "<Mmm dd hh:mm:ss yyyy>: <Level>: <text>\n". Levels outside 1 to 5 are named "Unknown".
 * ==================================================================================== */

/* Logs one message; returns 0. */
PA_EXPORT int32_t PaMsgLog(int32_t level, const char *format, ...) PA_PRINTF(2, 3);
/* Logs one message followed by a blank and the text of the last system error (errno);
 * returns 0. */
PA_EXPORT int32_t PaMsgLogSysError(int32_t level, const char *format, ...) PA_PRINTF(2, 3);
/* Sets the threshold, stored unchanged (above 5 drops everything); returns 0. */
PA_EXPORT int32_t PaSetMsgLogLevel(int32_t level);
/* Returns the threshold. */
PA_EXPORT int32_t PaGetMsgLogLevel(void);
/* Installs stream (NULL means standard error); the log closes the stream it replaces unless
 * that is standard output or standard error, and takes ownership of the new one; returns 0. */
PA_EXPORT int32_t PaSetMsgStream(FILE *stream);
/* Returns the stream; NULL until one is set or the first line went to standard error. */
PA_EXPORT FILE *PaGetMsgStream(void);
/* Routes messages to logger, formatted into buffer (at least PaMSG_BUFFER_SIZE bytes, shared
 * by all calls and still the caller's; NULL means the library's own per-call buffer).
 * PaFAILURE when logger is NULL, nothing changed. */
PA_EXPORT int32_t PaSetUserLoggerFunc(PaUserLoggerFunc logger, char *buffer, void *userData);
/* Returns the installed user logger, or NULL. */
PA_EXPORT PaUserLoggerFunc PaGetUserLoggerFunc(void);
/* Removes the user logger, its buffer and user data; messages go to the stream; returns 0. */
PA_EXPORT int32_t PaRemoveUserLogFunc(void);
/* Restores the defaults: closes an owned stream, standard error, threshold 3, no user
 * logger; returns 0. The log stays usable. */
PA_EXPORT int32_t PaShutdownMsgLogSystem(void);

/* ======================================================================================
 * Lists
 * A list holds elements made by PaListAllocElement; every operation speaks in payload
 * pointers. The list owns its elements' blocks; what a payload points to is released only by
 * the free function the caller passes. Membership is not checked.
 * ==================================================================================== */

/* Returns a new empty list (NULL on exhaustion); release it with PaListDestroy. */
PA_EXPORT PaList *PaListCreate(void);
/* Calls freeFunc (if any) on each payload from head to tail, releases every element, then
 * the list. */
PA_EXPORT void PaListDestroy(PaList *list, PaListFreeFunc freeFunc);
/* Returns the zero-filled payload of a new unlinked element on which initFunc (if any) has
 * run; NULL for a size of 0 (initFunc not called) or on exhaustion. */
PA_EXPORT void *PaListAllocElement(size_t size, PaListInitFunc initFunc);
/* Links an unlinked element in first position. */
PA_EXPORT void PaListAddToHead(PaList *list, void *payload);
/* Links an unlinked element in last position. */
PA_EXPORT void PaListAddToTail(PaList *list, void *payload);
/* Return the first or last payload, or NULL when the list is empty. */
PA_EXPORT void *PaListGetHead(const PaList *list);
PA_EXPORT void *PaListGetTail(const PaList *list);
/* Return the following or preceding payload, or NULL at the end. */
PA_EXPORT void *PaListGetNext(const void *payload);
PA_EXPORT void *PaListGetPrev(const void *payload);
/* Unlinks the element, calls freeFunc (if any) on its payload and releases it; a NULL
 * payload does nothing. */
PA_EXPORT void PaListDeleteElement(PaList *list, void *payload, PaListFreeFunc freeFunc);
/* Unlinks the element without releasing it; it may be linked into a list again. */
PA_EXPORT void PaListRemoveElement(PaList *list, void *payload);
/* Returns the number of linked elements. */
PA_EXPORT int32_t PaListNumberOfElements(const PaList *list);

/* ======================================================================================
 * Environment and utilities
 * The product home comes from KOVAHOME, the product-family home from VTHOME; each is read at
 * every call, with a fixed default when unset.
 * ==================================================================================== */

/* Returns the product home directory (shared text: the environment's or a literal). */
PA_EXPORT const char *PaGetKovahome(void);
/* Returns the platform name of this build ("linux" here; shared literal). */
PA_EXPORT const char *PaGetArch(void);
/* Returns the version text from the installation's message catalog
 * "<VTHOME>/locales/<arch>/messages.cat" (set 4, message 1), or "PA API Library" when it
 * cannot be read; shared buffer, overwritten by each call. */
PA_EXPORT const char *PaGetVersionString(void);
/* Writes the path of the Client-Library interfaces file under the product-family home into
 * buffer (size bytes); returns its length, or -1 when it does not fit. */
PA_EXPORT int32_t PaGetInterfacesFilePath(char *buffer, size_t size);
/* Returns a new copy of the name of the user the process runs as, or NULL; release it with
 * PaFree. */
PA_EXPORT char *PaGetSystemUserName(void);
/* Prompts "Password: " on the terminal (else standard error), reads one line without echo
 * (at most 4095 characters kept) and returns a new copy, empty at end of input; release it
 * with PaFree. */
PA_EXPORT char *PaPromptPassword(void);
/* Does nothing on this platform. */
PA_EXPORT void PaHideCmdlinePassword(void);

/* ======================================================================================
 * Connections
 * A handle owns its own Client-Library context, copies of its texts and at most one open
 * connection. Agents are found by server name in the interfaces file under the
 * product-family home (a freetds.conf entry of the same name takes precedence).
 * ==================================================================================== */

/* Return a new handle, not yet connected, or NULL (logged); release it with
 * PaConnectDestroy. The user "vexamund" is reserved for PaInformPA.
 * PaSecureConnectCreate logs in through the secure-login challenge, which needs a
 * Client-Library that calls the challenge callback; PaConnectCreateSybase10 asks for the
 * 10.x Client-Library behaviour. */
PA_EXPORT PaConnection *PaConnectCreate(const char *server, const char *application, const char *user,
                                        const char *password);
PA_EXPORT PaConnection *PaSecureConnectCreate(const char *server, const char *application, const char *user,
                                              const char *password);
PA_EXPORT PaConnection *PaConnectCreateSybase10(const char *server, const char *application,
                                                const char *user, const char *password);
/* Opens the handle's connection, replacing one already open: PaSUCCESS or
 * PaCONNECT_FAILED (the handle then holds no connection and may be connected again). */
PA_EXPORT int32_t PaConnect(PaConnection *handle);
/* Closes any connection and releases the handle with everything it owns (not the caller's
 * callbacks or user values); PaSUCCESS. */
PA_EXPORT int32_t PaConnectDestroy(PaConnection *handle);
/* PaSUCCESS when the handle's connection is open and not dead, else PaFAILURE. */
PA_EXPORT int32_t PaConnectValidAndOpen(PaConnection *handle);
/* Keeps an open idle connection, else closes it and connects afresh: PaSUCCESS or
 * PaCONNECT_FAILED (no connection left). Every operation falls back on it. */
PA_EXPORT int32_t PaReconnect(PaConnection *handle);
/* Closes the connection, by force when force is 1: PaSUCCESS, or PaFAILURE (also when there
 * was none). The handle holds no connection afterwards. */
PA_EXPORT int32_t PaDisconnect(PaConnection *handle, int32_t force);
/* Installs the retry callback asked whether an RPC the agent failed is sent again (at most
 * 11 sends in all); NULL switches retrying off. */
PA_EXPORT void PaInstallRetryCB(PaConnection *handle, PaRetryFunc retryFunc, void *retryData);
/* Stores the notification callback and its user data: PaSUCCESS, or PaFAILURE when the
 * handle is not connected. */
PA_EXPORT int32_t PaInstallNotifcationCB(PaConnection *handle, PaNotificationFunc callback, void *userData);

/* ======================================================================================
 * Server control
 * Operations on an agent as a whole. RPC operations return PaSUCCESS, PaFAILURE,
 * PaCONNECTION_LOST, or PaCONNECT_FAILED when the reconnection after a lost connection
 * failed; each reconnects once when the connection was lost, except PaStopPA.
 * ==================================================================================== */

/* Asks the agent to stop; stopArgument is the agent's to interpret. A connection lost
 * while stopping counts as success (nothing is retried). */
PA_EXPORT int32_t PaStopPA(PaConnection *handle, int32_t stopArgument);
/* Ask the agent to stop or start all its processes. */
PA_EXPORT int32_t PaStopProcesses(PaConnection *handle);
PA_EXPORT int32_t PaStartProcesses(PaConnection *handle);
/* Sets the agent's debug level. */
PA_EXPORT int32_t PaServerChangeDebugLevel(PaConnection *handle, int32_t level);
/* Reads the agent's debug level into *level, which keeps its value when no reply row came. */
PA_EXPORT int32_t PaServerGetDebugLevel(PaConnection *handle, int32_t *level);
/* Reads the agent's two version numbers; both are written, 0 when the agent sent none. */
PA_EXPORT int32_t PaServerGetVersionNo(PaConnection *handle, int32_t *major, int32_t *minor);
/* Asks the agent to generate a notification. */
PA_EXPORT int32_t PaServerGenerateNotification(PaConnection *handle);
/* Switches on the Client-Library's debug output where it has one: PaSUCCESS or PaFAILURE. */
PA_EXPORT int32_t PaInstallDevLibDebug(PaConnection *handle);
/* Marks the handle for internal mode. */
PA_EXPORT void PaSetServerInternalMode(PaConnection *handle);
/* Switch on or off the printing of every Client-Library and agent message on standard
 * error. */
PA_EXPORT void PaEnableAdvancedDiag(PaConnection *handle);
PA_EXPORT void PaDisableAdvancedDiag(PaConnection *handle);
/* Classifies the last Client-Library message seen on the handle: PaNO_ERROR,
 * PaNETWORK_ERROR or PaGENERAL_ERROR. */
PA_EXPORT int32_t PaServerGetLastError(PaConnection *handle);
/* Reports a process's PID and process id to the agent of server over a connection of its
 * own: PaSUCCESS, PaCONNECT_FAILED, or the RPC's failure. */
PA_EXPORT int32_t PaInformPA(const char *server, int32_t pid, int32_t processId);

#ifdef __cplusplus
}
#endif

#endif /* AGENTCLIENT_PA_H */
