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
 *   - Threads: one handle is used by one thread at a time (save PaConnectAbandon, which any
 *     thread may call to give up another's call); different handles may be used on
 *     different threads at once, and records and lists likewise (one thread per record). The
 *     memory hooks are installed once, before any other call. Log settings may change at any
 *     time; messages of different threads never interleave (delivery is serialised, so a user
 *     logger is called by one thread at a time, and may itself log through the library). A
 *     retry callback runs on the thread of the call it belongs to and may use the library,
 *     but not that call's handle. The library starts one thread of its own, at the first
 *     login, and only where the Client-Library cannot end a login itself (FreeTDS before
 *     1.5, without CS_ENDPOINT): it ends logins that outlive their bound, takes none of the
 *     process's signals and lives until the process ends, so the shared library is never
 *     unloaded (dlclose leaves it in place). It is safe across fork: a child starts its own.
 *   - Environment: at the first PaConnectCreate* the library sets SYBASE to the product-family
 *     home (and FREETDSCONF to its freetds.conf when the caller set none and the file exists),
 *     where FreeTDS finds the interfaces file; it writes no environment variable after that.
 *     Create the first handle before starting threads that read the environment.
 *   - Bounds: every call that talks to an agent is one operation with one deadline, the
 *     handle's results time-out (or the longer wait the operation states, as a start that
 *     asks the agent to watch its process), and it ends within that deadline and one second,
 *     whatever the agent does: its connect and login, a reconnect, a resend and the reading
 *     of the reply all draw on the same deadline, so a call that reconnects takes no longer
 *     than one that does not. A call that runs out of time fails with the time-out error
 *     (PaServerGetLastError), closes its connection and is not sent again; the next call
 *     opens a new connection. A read that finds its connection broken reconnects and is sent
 *     once more, within the same deadline. Not counted, and not bounded by the library: the
 *     time the caller's own logger and retry callback take, and the system's name resolution
 *     of the agent's host. A reply is read as it comes; the deadline is checked whenever the
 *     agent is silent for a second and between rows, so an agent that keeps sending one row a
 *     few bytes a second holds a call until that row ends.
 *     The login needs more: FreeTDS 1.3 (Debian 12) cannot end a login the agent does not
 *     answer. The library then shuts down the login's socket itself at the deadline, and
 *     touches no other descriptor: only the socket the calling thread is waiting on inside
 *     that login, never while the caller's logger runs, and only when it is a TCP socket
 *     connected to the address the interfaces file gives for the server that was not
 *     connected there before the login began. This needs /proc/self (the thread's wait and
 *     the process's descriptors) and process_vm_readv; where either is missing or refused, or
 *     the server is not in the interfaces file, the log says so once and a login to an agent
 *     that accepts the connection but never answers waits until the agent answers or closes.
 *     Everything else stays bounded. With FreeTDS 1.5 or later (CS_ENDPOINT), the socket is
 *     shut down from the calling thread and none of these conditions apply.
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
 * Version of this header and the library built from it. PA_VERSION_NUMBER grows with every
 * release (major * 10000 + minor * 100 + patch), for tests such as
 * #if PA_VERSION_NUMBER >= 100. The build takes the project's version from these lines.
 * ==================================================================================== */

#define PA_VERSION_MAJOR 0
#define PA_VERSION_MINOR 1
#define PA_VERSION_PATCH 0
#define PA_VERSION_NUMBER (PA_VERSION_MAJOR * 10000 + PA_VERSION_MINOR * 100 + PA_VERSION_PATCH)

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
    PaCONNECTION_LOST       = 16, /* no command could be sent, or retries were exhausted */
    PaNOT_SUPPORTED         = 17  /* the agent does not know the request (an older agent); its
                                     text is the last server message */
};

/* ======================================================================================
 * Message levels
 * ==================================================================================== */

enum {
    PaMSG_DEBUG       = 1,
    PaMSG_INFORMATION = 2,
    PaMSG_WARNING     = 3, /* the default threshold */
    PaMSG_ERROR       = 4,
    PaMSG_FATAL_ERROR = 5 /* a delivered Fatal Error message ends the process (status 1) */
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

/* Service attribute identifiers. In attribute lists, the name is passed as const char *,
 * integers as int32_t and the member list as PaList *; getters take pointers to variables of
 * those types (PaList ** for the list). Identifier 0 ends a list. */
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

/* Event attribute identifiers, read with PaEventGetAttribute: PaEVENT_CURSOR, PaEVENT_TIME_MS
 * and PaEVENT_LOST into int64_t, the integers into int32_t, the texts into char * (a new copy
 * released with PaFree, or NULL when the event has none). Identifier 0 ends a list. */
enum {
    PaEVENT_CURSOR  = 1,  /* its number: pass it to PaEventWait to get the events after it */
    PaEVENT_TIME_MS = 2,  /* when it happened, in milliseconds since 1970 (UTC) */
    PaEVENT_KIND    = 3,  /* one of the event kinds */
    PaEVENT_PROCESS = 4,  /* text: the process it is about */
    PaEVENT_SERVICE = 5,  /* text: the service it is about */
    PaEVENT_HOST    = 6,  /* text: the host of the process */
    PaEVENT_PID     = 7,  /* integer: the process's PID, 0 when none */
    PaEVENT_STATUS  = 8,  /* integer: the exit status, -1 when none */
    PaEVENT_SIGNAL  = 9,  /* integer: the signal that ended the process, 0 when none */
    PaEVENT_MESSAGE = 10, /* text: the process's restart or alert message, or the agent's words */
    PaEVENT_USER    = 11, /* text: the login whose request caused it */
    PaEVENT_LOST    = 12  /* PaEVENT_KIND_LOST: how many events were lost, -1 when unknown */
};

/* Health attribute identifiers, read with PaHealthGetAttribute into char * (a new copy released
 * with PaFree, or NULL when the process has none). Identifier 0 ends a list. */
enum {
    PaHEALTH_NAME        = 1, /* the process's name */
    PaHEALTH_HOST        = 2, /* its host */
    PaHEALTH_STATE       = 3, /* "starting", "ready", "healthy" or "unhealthy"; NULL while it does not run */
    PaHEALTH_OUTPUT      = 4, /* what its last health check wrote, at most 1 KiB */
    PaHEALTH_STATUS_TEXT = 5  /* the last status it announced on its notification socket */
};

/* Resource figure identifiers, read with PaStatsGetAttribute into the type each names. The CPU
 * time, memory, threads and descriptors are the sums over the process's whole process group, 0
 * while it does not run. Identifier 0 ends a list. */
enum {
    PaSTATS_NAME             = 1,  /* char *: the process's name (a new copy released with PaFree) */
    PaSTATS_HOST             = 2,  /* char *: its host (likewise) */
    PaSTATS_STATE            = 3,  /* int32_t: its state, as PaProcessStatus returns it */
    PaSTATS_PID              = 4,  /* int32_t: its PID, 0 when it does not run */
    PaSTATS_STARTED_AT       = 5,  /* int64_t: when it started, Unix seconds; 0 when it does not run */
    PaSTATS_UPTIME           = 6,  /* double: seconds it has run, by its agent's monotonic clock */
    PaSTATS_RESTARTS         = 7,  /* int32_t: restarts by its agent since the last start request */
    PaSTATS_LAST_EXIT_STATUS = 8,  /* int32_t: exit status of its last run that ended, -1 for none */
    PaSTATS_LAST_EXIT_SIGNAL = 9,  /* int32_t: signal that ended its last run that ended, -1 for none */
    PaSTATS_CPU_USER         = 10, /* double: user CPU seconds */
    PaSTATS_CPU_SYSTEM       = 11, /* double: system CPU seconds */
    PaSTATS_MEMORY           = 12, /* int64_t: resident memory, bytes */
    PaSTATS_THREADS          = 13, /* int32_t: threads */
    PaSTATS_DESCRIPTORS      = 14  /* int32_t: open file descriptors its agent may list */
};

/* Event kinds. */
enum {
    PaEVENT_KIND_NONE            = 0,
    PaEVENT_KIND_LOST            = 1, /* events between the cursor and this one are gone */
    PaEVENT_KIND_DEFINED         = 2, /* a process was defined */
    PaEVENT_KIND_CHANGED         = 3, /* a process's definition changed */
    PaEVENT_KIND_REMOVED         = 4, /* a process's definition was removed */
    PaEVENT_KIND_STARTING        = 5,
    PaEVENT_KIND_STARTED         = 6,  /* with its PID */
    PaEVENT_KIND_READY           = 7,  /* it showed it is ready: its report, READY=1 or a check */
    PaEVENT_KIND_EXITED          = 8,  /* with its exit status or signal */
    PaEVENT_KIND_RESTARTING      = 9,  /* the message says which attempt and after what delay */
    PaEVENT_KIND_FAILED          = 10, /* no more restarts; the message is its alert message */
    PaEVENT_KIND_STOPPING        = 11,
    PaEVENT_KIND_STOPPED         = 12,
    PaEVENT_KIND_ADOPTED         = 13, /* found running from an earlier agent */
    PaEVENT_KIND_SERVICE_STARTED = 14,
    PaEVENT_KIND_SERVICE_STOPPED = 15,
    PaEVENT_KIND_ROUTE_ADDED     = 16, /* the host is the route's, the message its server */
    PaEVENT_KIND_ROUTE_REMOVED   = 17,
    PaEVENT_KIND_RELOADED        = 18, /* the configuration was read again */
    PaEVENT_KIND_AGENT_STOPPING  = 19,
    PaEVENT_KIND_UNHEALTHY       = 20, /* its health checks failed; the message is the last output */
    PaEVENT_KIND_HEALTHY         = 21, /* a check passed after it was unhealthy; likewise */
    PaEVENT_KIND_COUNT           = 22
};

/* ======================================================================================
 * Types
 * ==================================================================================== */

typedef struct PaConnection PaConnection; /* connection handle: owned by its creator */
typedef struct PaProcess PaProcess;       /* process record */
typedef struct PaService PaService;       /* service record */
typedef struct PaHost PaHost;             /* host routing entry */
typedef struct PaList PaList;             /* doubly linked list of payloads */
typedef struct PaEvent PaEvent;           /* one event of an agent, read only */
typedef struct PaHealth PaHealth;         /* one process's health, read only */
typedef struct PaStats PaStats;           /* one process's resource figures, read only */

/* An operating-system handle on a running process: a Linux pidfd, 0 meaning none. */
typedef int PaProcessHandle;

/* A member of a service: a process with a value of one of the PaVALUE_ kinds. */
typedef struct PaServProcess {
    PaProcess *process;
    int32_t kind;
    union {
        int32_t intValue; /* PaVALUE_INTEGER; 0 for PaVALUE_NONE */
        char *textValue;  /* PaVALUE_TEXT, owned by the entry */
    } value;
} PaServProcess;

/* Memory hooks: the library's every allocation goes through these. */
typedef void *(*PaAllocFunc)(size_t size);
typedef void (*PaFreeFunc)(void *block);
typedef void *(*PaReallocFunc)(void *block, size_t size);
typedef char *(*PaStrDupFunc)(const char *text);

/* Receives every message that passes the threshold while installed: the level, the bare
 * text (no time stamp, no line end), the level's name and the user data. */
typedef void (*PaUserLoggerFunc)(int32_t level, const char *text, const char *levelName, void *userData);

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
 * Processes
 * A process record is standalone (from PaVaProcessCreate, PaVaProcessCreateAP or
 * PaProcessCopy; release it with PaProcessFree) or the payload of a list element (from
 * PaProcessAllocElement; release it with PaProcessDeleteElement or PaProcessListFree); the two
 * forms are never mixed. A record owns private copies of its texts and its process handle.
 * ==================================================================================== */

/* Returns a new standalone record named with a copy of name, with the initial values (texts
 * none, integers 0, type PaNOT_PA_AWARE, no handle) changed by the identifier/value pairs that
 * follow, ended by 0. An unknown identifier is logged and ends the list there. NULL when name
 * is NULL, a value is refused (a NULL name) or memory runs out. */
PA_EXPORT PaProcess *PaVaProcessCreate(const char *name, ...);
/* The same, with the pairs in args; the caller's args is not advanced. */
PA_EXPORT PaProcess *PaVaProcessCreateAP(const char *name, va_list args);
/* Reads the attributes of the identifier/pointer pairs, ended by 0, into the caller's
 * variables: texts as new copies the caller releases with PaFree (NULL for none), the handle
 * as the record's own, which stays the record's. Stops at the first failure and returns its
 * code (PaUNKNOWN_ATTRIBUTE, logged; PaFAILURE for a NULL pointer or exhausted memory). */
PA_EXPORT int32_t PaProcessGetAttribute(const PaProcess *process, ...);
/* Writes the attributes of the identifier/value pairs, ended by 0: texts and the handle are
 * duplicated (the caller keeps its own), NULL makes an optional text none and is refused for
 * the name. Stops at the first failure and returns its code, else PaSUCCESS. A handle that
 * cannot be duplicated is logged and leaves the record without one (still PaSUCCESS). */
PA_EXPORT int32_t PaProcessSetAttribute(PaProcess *process, ...);
/* Resets the record to the name "NoName" and the initial values, keeping its handle;
 * unchanged when memory runs out. */
PA_EXPORT void PaProcessClearProcess(PaProcess *process);
/* Returns a new standalone copy with its own texts and its own duplicate of the handle (none
 * when the duplication fails, logged), or NULL; release it with PaProcessFree. */
PA_EXPORT PaProcess *PaProcessCopy(const PaProcess *process);
/* Returns 1 when both records describe the same process, else 0: equal integers, names, host
 * names and commands (two absent texts are equal); restart and alert messages count only when
 * both records have one; PID and handle take no part. */
PA_EXPORT int32_t PaProcessCompare(const PaProcess *a, const PaProcess *b);
/* Releases a standalone record with its texts, closing its handle; PaSUCCESS. */
PA_EXPORT int32_t PaProcessFree(PaProcess *process);
/* Returns the payload of a new unlinked list element holding a record named "NULL" with the
 * initial values, or NULL; link it with the list functions. */
PA_EXPORT PaProcess *PaProcessAllocElement(void);
/* Unlinks a list-element record from list and releases it with everything it owns. */
PA_EXPORT void PaProcessDeleteElement(PaList *list, PaProcess *process);
/* Releases every record of the list with everything it owns, then the list; PaSUCCESS. */
PA_EXPORT int32_t PaProcessListFree(PaList *list);

/* ======================================================================================
 * Services
 * A service owns its name and its member list, whose PaServProcess members each own their
 * process (a standalone record) and, for PaVALUE_TEXT, their text. A service is standalone
 * (from PaVaServiceCreate or PaServiceCopy; release it with PaServiceFree) or the payload of a
 * list element (from PaServiceAllocElement; release it with PaServiceDeleteElement or
 * PaServiceListFree). Members are found by the name of their process; a member without a
 * process is never found and never written.
 * ==================================================================================== */

/* Returns a new standalone service named with a copy of name (type PaSERVICE_NON_MASTER,
 * start PaSERVICE_NON_AUTO, no members) changed by the identifier/value pairs that follow,
 * ended by 0. An unknown identifier is logged and ends the list there. NULL when name is NULL,
 * a setting fails (a NULL name or member list, PaSERVICE_PROCESS_COUNT) or memory runs out. */
PA_EXPORT PaService *PaVaServiceCreate(const char *name, ...);
/* Reads the attributes of the identifier/pointer pairs, ended by 0: the name as a new copy
 * (release with PaFree), the member list as a new deep copy (release with
 * PaServiceProcessListDestroy). Stops at the first failure and returns its code. */
PA_EXPORT int32_t PaServiceGetAttribute(const PaService *service, ...);
/* Writes the attributes of the identifier/value pairs, ended by 0; a member list given is
 * copied deeply and stays the caller's. Stops at the first failure (PaFAILURE for
 * PaSERVICE_PROCESS_COUNT, a NULL name or list, exhausted memory) and returns its code, the
 * service unchanged by that pair. */
PA_EXPORT int32_t PaServiceSetAttribute(PaService *service, ...);
/* Returns a new standalone deep copy, or NULL; release it with PaServiceFree. */
PA_EXPORT PaService *PaServiceCopy(const PaService *service);
/* Releases a standalone service with everything it owns; PaSUCCESS. */
PA_EXPORT int32_t PaServiceFree(PaService *service);
/* Returns the payload of a new unlinked list element holding a service named "NULL" with the
 * initial values, or NULL. */
PA_EXPORT PaService *PaServiceAllocElement(void);
/* Unlinks a list-element service from list and releases it with everything it owns. */
PA_EXPORT void PaServiceDeleteElement(PaList *list, PaService *service);
/* Releases every service of the list with everything it owns, then the list; PaSUCCESS. */
PA_EXPORT int32_t PaServiceListFree(PaList *list);
/* Returns the first service of the list with a member whose process is called name (the
 * services stay the list's), or NULL. When found and entry is not NULL, *entry receives a new
 * standalone deep copy of that member, released with PaServiceServProcessFree. */
PA_EXPORT PaService *PaServiceListFindProcess(const PaList *services, const char *name, PaServProcess **entry);
/* Appends a member with the process and value of entry. On PaSUCCESS the service has taken
 * over the text of a PaVALUE_TEXT entry and, unless copy is 1 (then it stores a copy), the
 * process: the caller then releases only the entry structure itself. PaFOUND (logged at Debug)
 * when a member of that process name exists, PaFAILURE for an entry without a process or on
 * exhausted memory; on failure nothing was taken over. */
PA_EXPORT int32_t PaServiceAddProcess(PaService *service, PaServProcess *entry, int32_t copy);
/* Removes and releases the member whose process has the name of process; PaNOT_FOUND (logged
 * at Debug) when there is none. */
PA_EXPORT int32_t PaServiceRemoveProcess(PaService *service, const PaProcess *process);
/* Gives the member whose process is called name a copy of entry's process, kind and value
 * (the integer for PaVALUE_INTEGER, a copy of the text for PaVALUE_TEXT, else 0); the caller
 * keeps entry. PaFAILURE, the member unchanged, when there is no such member, entry has no
 * process or memory runs out. */
PA_EXPORT int32_t PaServiceChangeProcess(PaService *service, const char *name, const PaServProcess *entry);
/* Gives the member whose process is called name a copy of process, keeping its kind and
 * value; PaFAILURE, unchanged, when there is no such member or memory runs out. */
PA_EXPORT int32_t PaServiceChangeProcessEntry(PaService *service, const char *name, const PaProcess *process);
/* Returns a new empty member list, or NULL; release it with PaServiceProcessListDestroy. */
PA_EXPORT PaList *PaServiceProcessListCreate(void);
/* Releases every member of the list with its process and text, then the list. */
PA_EXPORT void PaServiceProcessListDestroy(PaList *list);
/* Returns the payload of a new unlinked member element (no process, PaVALUE_NONE, value 0),
 * or NULL. */
PA_EXPORT PaServProcess *PaServiceProcessListAllocElement(void);
/* Unlinks a member element from list and releases it with its process and text. */
PA_EXPORT void PaServiceProcessListDelete(PaList *list, PaServProcess *entry);
/* Releases a standalone member entry with its process and text. */
PA_EXPORT void PaServiceServProcessFree(PaServProcess *entry);
/* Returns a new standalone deep copy of entry, or NULL; release it with
 * PaServiceServProcessFree. */
PA_EXPORT PaServProcess *PaServiceProcessCopy(const PaServProcess *entry);

/* ======================================================================================
 * Hosts
 * A routing entry pairs a host name with the name of the agent server serving it; both are
 * private copies, a NULL text being stored as the empty text. An entry is standalone (from
 * PaHostCreate; release it with PaHostFree) or the payload of a list element (from
 * PaHostAllocElement; release it with PaHostDeleteElement or PaHostListDestroy).
 * ==================================================================================== */

/* Returns a new standalone entry holding copies of both names, or NULL. */
PA_EXPORT PaHost *PaHostCreate(const char *hostName, const char *serverName);
/* Releases a standalone entry with its texts. */
PA_EXPORT void PaHostFree(PaHost *host);
/* Returns the payload of a new unlinked list element holding copies of both names, or NULL. */
PA_EXPORT PaHost *PaHostAllocElement(const char *hostName, const char *serverName);
/* Unlinks a list-element entry from list and releases it with its texts. */
PA_EXPORT void PaHostDeleteElement(PaList *list, PaHost *host);
/* Releases every entry of the list with its texts, then the list. */
PA_EXPORT void PaHostListDestroy(PaList *list);
/* Return a new copy of the host or server name, or NULL; release it with PaFree. */
PA_EXPORT char *PaHostGetHostName(const PaHost *host);
PA_EXPORT char *PaHostGetServerName(const PaHost *host);
/* Replace the host or server name by a copy of the text given (unchanged when memory runs
 * out). */
PA_EXPORT void PaHostSetHostName(PaHost *host, const char *hostName);
PA_EXPORT void PaHostSetServerName(PaHost *host, const char *serverName);

/* ======================================================================================
 * Configuration file
 * Each writer appends one piece of the agent's configuration file to the caller's open stream;
 * a whole file is PaWriteFileHeaders, PaWriteKnownServiceProcesses and PaWriteKnownServices
 * with one list of services, then PaWriteKnownHosts. A failed line is logged once as
 * "Write Failure." and ends the writer (and the writers calling it) with PaFAILURE, the file
 * cut off inside its block. Apostrophes and backslashes in texts are written escaped with a
 * backslash, so every text reads back as it was. Buffered errors show only when the stream is
 * flushed: check fclose. The writers return PaFAILURE for a NULL stream or list.
 * ==================================================================================== */

/* Writes the magic line and the title; PaSUCCESS. */
PA_EXPORT int32_t PaWriteFileHeaders(FILE *stream);
/* Writes the process section: a block for each member process of each service, in order. */
PA_EXPORT int32_t PaWriteKnownServiceProcesses(const PaList *services, FILE *stream);
/* Writes the service section: a block for each service, in order. */
PA_EXPORT int32_t PaWriteKnownServices(const PaList *services, FILE *stream);
/* Writes the routing section: one block with a line for each entry, in order. */
PA_EXPORT int32_t PaWriteKnownHosts(const PaList *hosts, FILE *stream);
/* Writes a process block for each member of a member list, in order. */
PA_EXPORT int32_t PaWriteProcesses(FILE *stream, const PaList *members);
/* Writes one service block. */
PA_EXPORT int32_t PaWriteSingleService(FILE *stream, const PaService *service);

/* ======================================================================================
 * Environment and utilities
 * The product home comes from KOVAHOME, the product-family home from VTHOME; each is read at
 * every call, with an absolute default when unset: /usr/lib/agentclient for the product home
 * (what the product installs), /etc/agentclient for the product-family home (the interfaces
 * file, freetds.conf, the message catalog). A VTHOME that does not start with '/' is refused,
 * since it would be read from whatever directory the program runs in: nothing is read from it,
 * and handle creation fails (logged: "VTHOME must be an absolute path, not 'x'").
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
 * buffer (size bytes); returns its length, or -1 when it does not fit or VTHOME is not an
 * absolute path. */
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
PA_EXPORT PaConnection *PaConnectCreateSybase10(const char *server, const char *application, const char *user,
                                                const char *password);
/* Makes the handle's logins send host_name as the client's host, in place of this machine's
 * name (the login record keeps 30 bytes of it): PaSUCCESS, or PaFAILURE when handle or
 * host_name is NULL or it cannot be copied. */
PA_EXPORT int32_t PaConnectSetHostName(PaConnection *handle, const char *host_name);
/* Opens the handle's connection, replacing one already open: PaSUCCESS or
 * PaCONNECT_FAILED (the handle then holds no connection and may be connected again). */
PA_EXPORT int32_t PaConnect(PaConnection *handle);
/* Closes any connection and releases the handle with everything it owns (not the caller's
 * callbacks or user values); PaSUCCESS. */
PA_EXPORT int32_t PaConnectDestroy(PaConnection *handle);
/* Gives up the call under way on the handle and every later one, for a thread that answers
 * someone who has gone away (an agent forwarding a request whose client left): the call ends
 * within about a second as if its time had run out (PaServerTimedOut is 1) and closes its
 * connection; a login under way ends at its own bound. The one function that may be called
 * while another thread uses the handle; afterwards the handle is only good for
 * PaConnectDestroy. */
PA_EXPORT void PaConnectAbandon(PaConnection *handle);
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
/* Sets how many seconds a call on the handle may take, connect, login, reconnect and reply
 * included (30 on a new handle; see Bounds above): PaSUCCESS, or PaFAILURE (logged) for fewer
 * than 1 second. Any larger value is taken (INT32_MAX is about 68 years). A start with a
 * time-out waits at least that time-out and a margin. */
PA_EXPORT int32_t PaSetResultsTimeOut(PaConnection *handle, int32_t seconds);
/* The handle's reply time-out in seconds. */
PA_EXPORT int32_t PaGetResultsTimeOut(const PaConnection *handle);

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
/* Asks the agent who the handle's login is: into *user, *role ("read", "operate" or "admin")
 * and *uids (the user ids its processes may run as: "any", or ids and ranges as
 * "1000,2000-2999") new copies released with PaFree. PaSUCCESS, or the call's code with all
 * three NULL; PaNOT_SUPPORTED from an agent that does not know the request, its text in
 * PaServerGetLastMessage. */
PA_EXPORT int32_t PaServerWhoAmI(PaConnection *handle, char **user, char **role, char **uids);
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
/* 1 when the handle's last call ended because it ran out of time (see Bounds above): the
 * agent did not answer the login or the request within the time-out; 0 otherwise. */
PA_EXPORT int32_t PaServerTimedOut(const PaConnection *handle);

/* A message the agent sent: its number, its severity (above 10 for an error, such as the
 * reason for a refused request) and its text. */
typedef struct PaServerMessage {
    int32_t number;
    int32_t severity;
    const char *text; /* borrowed from the handle: valid until the next operation on it */
} PaServerMessage;
/* Fills *message with the last message the agent sent during the handle's last operation
 * (each message is also logged, at Error level for errors): PaSUCCESS, or PaNOT_FOUND when
 * the agent sent none (then *message is untouched). */
PA_EXPORT int32_t PaServerGetLastMessage(const PaConnection *handle, PaServerMessage *message);
/* Reports a process's PID and process id to the agent of server over a connection of its
 * own: PaSUCCESS, PaCONNECT_FAILED, or the RPC's failure. The agent takes the report only over
 * loopback and from within the process pid names (that process or one of its descendants
 * holding the connection), so a process reports itself. */
PA_EXPORT int32_t PaInformPA(const char *server, int32_t pid, int32_t processId);

/* ======================================================================================
 * Process operations
 * Each sends a process to the agent and returns PaSUCCESS, PaFAILURE, PaCONNECTION_LOST, or
 * PaCONNECT_FAILED when the reconnection after a lost connection failed. A record without
 * the host name or command a request needs is refused with PaMISSING_ARGUMENT (logged) and
 * nothing is sent. The record is read, never changed or taken over.
 * ==================================================================================== */

/* Asks the agent to start the process. A command of 255 bytes or more goes to the agent's
 * long-command RPC. */
PA_EXPORT int32_t PaProcessStart(PaConnection *handle, const PaProcess *process);
/* The same, with a time-out whose unit is the agent's. */
PA_EXPORT int32_t PaProcessStartWithTimeOut(PaConnection *handle, const PaProcess *process, int32_t timeout);
/* The same, with arguments the agent adds to the command. */
PA_EXPORT int32_t PaProcessStartWithArgs(PaConnection *handle, const PaProcess *process, const char *arguments);
/* Forwards a state request, whose codes are the agent's, for the process. */
PA_EXPORT int32_t PaProcessForwardStateRequest(PaConnection *handle, const PaProcess *process, int32_t state);
/* Asks the agent to stop the process (by name and host name). */
PA_EXPORT int32_t PaProcessStop(PaConnection *handle, const PaProcess *process);
/* Asks the agent to send the process a signal. */
PA_EXPORT int32_t PaProcessSignal(PaConnection *handle, const PaProcess *process, int32_t signal);
/* Returns the state the agent reports for the process and stores its second figure (the PID)
 * in *status; PaSTATUS_UNKNOWN without a host name or when the agent sent no row (then 0 is
 * stored), PaPROCESS_STATUS_FAILED when the call failed (nothing stored). */
PA_EXPORT int32_t PaProcessStatus(PaConnection *handle, const PaProcess *process, int32_t *status);
/* Replaces the agent's definition of the process called name by the record. */
PA_EXPORT int32_t PaProcessChange(PaConnection *handle, const char *name, const PaProcess *process);
/* Fetches the agent's processes (selector non-zero) or the agent's short list (selector 0)
 * into a new list, in the agent's order; the caller releases it with PaProcessListFree. On
 * failure *list is NULL and the call's code is returned. */
PA_EXPORT int32_t PaProcessGetList(PaConnection *handle, PaList **list, int32_t selector);

/* ======================================================================================
 * Service operations
 * Add, start and change send the whole service with every member; stop, remove and status
 * send its name. Results as for the process operations; the service is only read.
 * ==================================================================================== */

/* Defines the service on the agent. */
PA_EXPORT int32_t PaServiceAdd(PaConnection *handle, const PaService *service);
/* Asks the agent to start the service. */
PA_EXPORT int32_t PaServiceStart(PaConnection *handle, const PaService *service);
/* Replaces the agent's definition of the service called name by this one. */
PA_EXPORT int32_t PaServiceChange(PaConnection *handle, const char *name, const PaService *service);
/* Asks the agent to stop the service. */
PA_EXPORT int32_t PaServiceStop(PaConnection *handle, const PaService *service);
/* Asks the agent to remove the service. */
PA_EXPORT int32_t PaServiceRemove(PaConnection *handle, const PaService *service);
/* Returns the state the agent reports for the service: PaSTATUS_UNKNOWN when it sent none,
 * PaSERVICE_STATUS_FAILED when the call failed. */
PA_EXPORT int32_t PaServiceStatus(PaConnection *handle, const PaService *service);
/* Fetches the agent's services with their members (selector non-zero) or its short list
 * (selector 0) into a new list; the caller releases it with PaServiceListFree. On any failure
 * *list is NULL and PaFAILURE is returned. */
PA_EXPORT int32_t PaServiceGetList(PaConnection *handle, PaList **list, int32_t selector);

/* ======================================================================================
 * Routing operations
 * ==================================================================================== */

/* Fetches the agent's routing table into a new list of entries, in the agent's order; the
 * caller releases it with PaHostListDestroy. fetchArgument is the agent's to interpret. On
 * failure *list is left as it was and the call's code is returned. */
PA_EXPORT int32_t PaHostGetList(PaConnection *handle, PaList **list, int32_t fetchArgument);
/* Asks the agent to add or remove the pair of the entry, which stays the caller's. */
PA_EXPORT int32_t PaHostAdd(PaConnection *handle, const PaHost *host);
PA_EXPORT int32_t PaHostRemove(PaConnection *handle, const PaHost *host);

/* ======================================================================================
 * Output and events
 * Both are long polls by cursor: each call returns what is new after the cursor, waiting up to
 * wait_seconds for something new, and leaves in *cursor the value to pass next time, so that a
 * caller that keeps its cursor across calls, connections and its own restarts sees nothing
 * twice and misses nothing without being told. A cursor of -1 starts at the end. A wait longer
 * than the handle's results time-out is refused (PaFAILURE, logged) before anything is sent;
 * the call's deadline is the wait and ten seconds. Against an agent that does not know these
 * requests they return PaNOT_SUPPORTED, the agent's text in PaServerGetLastMessage. A process
 * of another host is read through the agent its routing table names.
 * ==================================================================================== */

/* Reads a process's output (by its name and host name) after *cursor, or its last tail_lines
 * lines when *cursor is -1: into *text a new buffer of *length bytes, exactly as the process
 * wrote them, followed by a zero that *length does not count (released with PaFree; empty
 * when nothing came within the wait), and into *lost the number of bytes that were rotated
 * away before they could be read (0 when none). A reply carries at most 256 KiB. PaSUCCESS,
 * or the call's code with *text NULL and *cursor unchanged. */
PA_EXPORT int32_t PaProcessOutputRead(PaConnection *handle, const PaProcess *process, int64_t *cursor,
                                      int32_t tail_lines, int32_t wait_seconds, char **text, size_t *length,
                                      int64_t *lost);

/* Fetches the agent's events after *cursor into a new list of PaEvent (empty when none came
 * within the wait), released with PaEventListFree. A cursor older than the agent keeps, or
 * from before the agent restarted, brings one event of kind PaEVENT_KIND_LOST first. On failure
 * *events is NULL and *cursor unchanged. */
PA_EXPORT int32_t PaEventWait(PaConnection *handle, int64_t *cursor, int32_t wait_seconds, PaList **events);
/* The same for the events of the agent that serves host, through the connected agent's
 * routing table; a NULL or empty host is the connected agent's own. */
PA_EXPORT int32_t PaEventWaitForHost(PaConnection *handle, const char *host, int64_t *cursor, int32_t wait_seconds,
                                     PaList **events);
/* Reads attributes of an event: identifier/pointer pairs ended by 0 (see PaEVENT_...).
 * PaSUCCESS, or PaUNKNOWN_ATTRIBUTE at the first identifier it does not know. */
PA_EXPORT int32_t PaEventGetAttribute(const PaEvent *event, ...);
/* Releases a list of events and its events. */
PA_EXPORT int32_t PaEventListFree(PaList *list);

/* ======================================================================================
 * Health
 * ==================================================================================== */

/* Fetches the readiness and health of the process called name of host, or of every process of
 * the agent that serves host when name is NULL or empty (a NULL or empty host is the connected
 * agent's own), into a new list of PaHealth released with PaHealthListFree. PaSUCCESS, or the
 * call's code with *health NULL; PaNOT_SUPPORTED from an agent that does not know the request,
 * its text in PaServerGetLastMessage. */
PA_EXPORT int32_t PaProcessGetHealth(PaConnection *handle, const char *name, const char *host, PaList **health);
/* Reads attributes of a health record: identifier/pointer pairs ended by 0 (see PaHEALTH_...).
 * PaSUCCESS, or PaUNKNOWN_ATTRIBUTE at the first identifier it does not know. */
PA_EXPORT int32_t PaHealthGetAttribute(const PaHealth *health, ...);
/* Releases a list of health records and its records. */
PA_EXPORT int32_t PaHealthListFree(PaList *list);

/* ======================================================================================
 * Resource figures
 * ==================================================================================== */

/* Fetches the resource figures of the process called name of host, or of every process of the
 * agent that serves host when name is NULL or empty (a NULL or empty host is the connected
 * agent's own), into a new list of PaStats released with PaStatsListFree. The agent of the host
 * reads them from /proc when asked: one pass over it whatever the number of processes. Its
 * uptime is by that agent's own clock, so that clocks of hosts that differ do not matter.
 * PaSUCCESS, or the call's code with *stats NULL; PaNOT_SUPPORTED from an agent that does not
 * know the request, its text in PaServerGetLastMessage. */
PA_EXPORT int32_t PaProcessGetStats(PaConnection *handle, const char *name, const char *host, PaList **stats);
/* Reads attributes of a figures record: identifier/pointer pairs ended by 0 (see PaSTATS_...).
 * PaSUCCESS, or PaUNKNOWN_ATTRIBUTE at the first identifier it does not know. */
PA_EXPORT int32_t PaStatsGetAttribute(const PaStats *stats, ...);
/* Releases a list of figures records and its records. */
PA_EXPORT int32_t PaStatsListFree(PaList *list);

#ifdef __cplusplus
}
#endif

#endif /* AGENTCLIENT_PA_H */
