/*
 * quickstart: a first tour of the agent client library.
 *
 *   quickstart SERVER CONFIG-FILE [USER [PASSWORD]]
 *
 * Connects to the agent called SERVER (found in the interfaces file under $VTHOME), defines
 * and starts a service of two sleeping processes, lists the agent's processes and services,
 * adds a route, writes the configuration file CONFIG-FILE from what the agent holds, then
 * undoes its changes and disconnects. USER and PASSWORD default to $PA_USER and $PA_PASSWORD.
 * Exits with status 0 when every step succeeded.
 */
#define _POSIX_C_SOURCE 200809L

#include <agentclient/pa.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#define SERVICE_NAME "quickstart-service"
#define MEMBER_COUNT 2
#define ROUTE_HOST "build-host.example"

/* Reports a failed step; returns 1 when status is PaSUCCESS, else 0. */
static int Succeeded(int32_t status, const char *step)
{
    if (status != PaSUCCESS) {
        fprintf(stderr, "quickstart: could not %s (status %d).\n", step, (int)status);
        return 0;
    }
    return 1;
}

/* Releases a text the library returned, if there is one. */
static void ReleaseText(char *text)
{
    if (text != NULL) {
        PaFree(text);
    }
}

/* The singular or plural form of a noun, as count asks. */
static const char *Noun(int32_t count, const char *singular, const char *plural)
{
    return count == 1 ? singular : plural;
}

static const char *ProcessStateText(int32_t state)
{
    switch (state) {
    case 0: return "stopped";
    case 1: return "running";
    case 2: return "finished";
    case 3: return "failed";
    case PaSTATUS_UNKNOWN: return "unknown";
    default: return "not available";
    }
}

static const char *ServiceStateText(int32_t state)
{
    switch (state) {
    case 0: return "stopped";
    case 1: return "running";
    case 2: return "partly running";
    case PaSTATUS_UNKNOWN: return "unknown";
    default: return "not available";
    }
}

/* Builds the service: two members that sleep, run as this user on this host, each handed its
 * position as its member value. NULL when a record cannot be made. */
static PaService *MakeService(void)
{
    char host[256];
    if (gethostname(host, sizeof host) != 0) {
        snprintf(host, sizeof host, "localhost");
    }
    host[sizeof host - 1] = '\0';
    PaService *service = PaVaServiceCreate(SERVICE_NAME, PaSERVICE_TYPE, (int32_t)PaSERVICE_NON_MASTER, PaSERVICE_START,
                                           (int32_t)PaSERVICE_NON_AUTO, 0);
    if (service == NULL) {
        return NULL;
    }
    for (int32_t k = 1; k <= MEMBER_COUNT; ++k) {
        char name[64];
        snprintf(name, sizeof name, "quickstart-sleeper-%d", (int)k);
        PaServProcess entry  = {0};
        entry.kind           = PaVALUE_INTEGER;
        entry.value.intValue = k;
        entry.process        = PaVaProcessCreate(name, PaPROCESS_HOSTNAME, host, PaPROCESS_COMMAND, "sleep 300",
                                                 PaPROCESS_EUID, (int32_t)getuid(), 0);
        /* On success the service takes the process over; otherwise it stays ours. */
        if (entry.process == NULL || PaServiceAddProcess(service, &entry, 0) != PaSUCCESS) {
            if (entry.process != NULL) {
                PaProcessFree(entry.process);
            }
            PaServiceFree(service);
            return NULL;
        }
    }
    return service;
}

/* Prints every process the agent has defined, with its state and PID. */
static int ShowProcesses(PaConnection *handle)
{
    PaList *processes = NULL;
    if (!Succeeded(PaProcessGetList(handle, &processes, 1), "fetch the process list")) {
        return 0;
    }
    int32_t count = PaListNumberOfElements(processes);
    printf("The agent has %d %s:\n", (int)count, Noun(count, "process", "processes"));
    int ok = 1;
    for (PaProcess *process = PaListGetHead(processes); process != NULL; process = PaListGetNext(process)) {
        char *name    = NULL;
        char *command = NULL;
        ok            = Succeeded(PaProcessGetAttribute(process, PaPROCESS_NAME, &name, PaPROCESS_COMMAND, &command, 0),
                                  "read a process record");
        if (ok) {
            int32_t pid   = 0;
            int32_t state = PaProcessStatus(handle, process, &pid);
            printf("  %s (\"%s\") is %s, PID %d.\n", name, command, ProcessStateText(state), (int)pid);
            ok = state != PaPROCESS_STATUS_FAILED;
        }
        ReleaseText(name);
        ReleaseText(command);
        if (!ok) {
            break;
        }
    }
    return Succeeded(PaProcessListFree(processes), "release the process list") && ok;
}

/* Prints the members of one fetched service. */
static int ShowMembers(const PaService *service)
{
    PaList *members = NULL;
    if (!Succeeded(PaServiceGetAttribute(service, PaSERVICE_PROCESS_LIST, &members, 0), "read the members")) {
        return 0;
    }
    int ok = 1;
    for (PaServProcess *member = PaListGetHead(members); member != NULL; member = PaListGetNext(member)) {
        char *name = NULL;
        if (!Succeeded(PaProcessGetAttribute(member->process, PaPROCESS_NAME, &name, 0), "read a member")) {
            ok = 0;
            break;
        }
        if (member->kind == PaVALUE_INTEGER) {
            printf("    member %s, value %d\n", name, (int)member->value.intValue);
        } else if (member->kind == PaVALUE_TEXT) {
            printf("    member %s, value \"%s\"\n", name, member->value.textValue);
        } else {
            printf("    member %s, no value\n", name);
        }
        PaFree(name);
    }
    PaServiceProcessListDestroy(members);
    return ok;
}

/* Prints every service the agent has defined with its state and members, and hands the
 * fetched list to the caller (release it with PaServiceListFree). */
static int ShowServices(PaConnection *handle, PaList **services)
{
    if (!Succeeded(PaServiceGetList(handle, services, 1), "fetch the service list")) {
        return 0;
    }
    int32_t count = PaListNumberOfElements(*services);
    printf("The agent has %d %s:\n", (int)count, Noun(count, "service", "services"));
    int ok = 1;
    for (PaService *service = PaListGetHead(*services); service != NULL; service = PaListGetNext(service)) {
        char *name      = NULL;
        int32_t members = 0;
        ok = Succeeded(PaServiceGetAttribute(service, PaSERVICE_NAME, &name, PaSERVICE_PROCESS_COUNT, &members, 0),
                       "read a service record");
        if (ok) {
            int32_t state = PaServiceStatus(handle, service);
            printf("  %s is %s, with %d %s:\n", name, ServiceStateText(state), (int)members,
                   Noun(members, "member", "members"));
            ok = state != PaSERVICE_STATUS_FAILED && ShowMembers(service);
        }
        ReleaseText(name);
        if (!ok) {
            break;
        }
    }
    return ok;
}

/* Writes the agent's services and routing table to path as a configuration file. */
static int WriteConfig(const char *path, const PaList *services, const PaList *hosts)
{
    FILE *file = fopen(path, "w");
    if (file == NULL) {
        perror(path);
        return 0;
    }
    int ok = Succeeded(PaWriteFileHeaders(file), "write the file headers") &&
             Succeeded(PaWriteKnownServiceProcesses(services, file), "write the processes") &&
             Succeeded(PaWriteKnownServices(services, file), "write the services") &&
             Succeeded(PaWriteKnownHosts(hosts, file), "write the routing table");
    if (fclose(file) != 0) {
        perror(path);
        ok = 0;
    }
    if (ok) {
        printf("Wrote the configuration file %s.\n", path);
    }
    return ok;
}

/* Adds a route to the agent, fetches the routing table and writes the configuration file
 * from the fetched services and routes; the route is removed again. */
static int RouteAndWrite(PaConnection *handle, const char *server, const char *path, const PaList *services)
{
    PaHost *route = PaHostCreate(ROUTE_HOST, server);
    if (route == NULL || !Succeeded(PaHostAdd(handle, route), "add a route")) {
        if (route != NULL) {
            PaHostFree(route);
        }
        return 0;
    }
    printf("Added a route: host %s is served by %s.\n", ROUTE_HOST, server);
    PaList *hosts = NULL;
    int ok        = Succeeded(PaHostGetList(handle, &hosts, 0), "fetch the routing table");
    if (ok) {
        int32_t count = PaListNumberOfElements(hosts);
        printf("The routing table has %d %s.\n", (int)count, Noun(count, "entry", "entries"));
        ok = WriteConfig(path, services, hosts);
        PaHostListDestroy(hosts);
    }
    if (Succeeded(PaHostRemove(handle, route), "remove the route")) {
        printf("Removed the route again.\n");
    } else {
        ok = 0;
    }
    PaHostFree(route);
    return ok;
}

/* Everything done over the open connection; the agent is left as it was found. */
static int Tour(PaConnection *handle, const char *server, const char *path)
{
    int32_t major = 0;
    int32_t minor = 0;
    if (!Succeeded(PaServerGetVersionNo(handle, &major, &minor), "read the agent's version")) {
        return 0;
    }
    printf("The agent reports version %d.%d.\n", (int)major, (int)minor);

    PaService *service = MakeService();
    if (service == NULL) {
        fprintf(stderr, "quickstart: could not build the service.\n");
        return 0;
    }
    int ok = Succeeded(PaServiceAdd(handle, service), "add the service");
    if (ok) {
        printf("Defined service %s with %d member processes.\n", SERVICE_NAME, MEMBER_COUNT);
        int started = Succeeded(PaServiceStart(handle, service), "start the service");
        if (started) {
            printf("Started service %s.\n", SERVICE_NAME);
        }
        PaList *services = NULL;
        ok               = started && ShowProcesses(handle) && ShowServices(handle, &services) &&
             RouteAndWrite(handle, server, path, services);
        if (services != NULL && !Succeeded(PaServiceListFree(services), "release the service list")) {
            ok = 0;
        }
        if (started && Succeeded(PaServiceStop(handle, service), "stop the service")) {
            printf("Stopped service %s.\n", SERVICE_NAME);
        } else {
            ok = 0;
        }
        if (Succeeded(PaServiceRemove(handle, service), "remove the service")) {
            printf("Removed service %s.\n", SERVICE_NAME);
        } else {
            ok = 0;
        }
    }
    return Succeeded(PaServiceFree(service), "release the service") && ok;
}

int main(int argc, char **argv)
{
    /* Line by line, so that progress and error messages keep their order in a pipe. */
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (argc < 3 || argc > 5) {
        fprintf(stderr, "usage: %s SERVER CONFIG-FILE [USER [PASSWORD]]\n", argv[0]);
        return 2;
    }
    const char *server   = argv[1];
    const char *path     = argv[2];
    const char *user     = argc > 3 ? argv[3] : getenv("PA_USER");
    const char *password = argc > 4 ? argv[4] : getenv("PA_PASSWORD");
    if (user == NULL || password == NULL) {
        fprintf(stderr, "quickstart: give USER and PASSWORD, or set PA_USER and PA_PASSWORD.\n");
        return 2;
    }

    PaConnection *handle = PaConnectCreate(server, "quickstart", user, password);
    if (handle == NULL) {
        fprintf(stderr, "quickstart: could not create a handle for %s.\n", server);
        return 1;
    }
    int ok = Succeeded(PaConnect(handle), "connect");
    if (ok) {
        printf("Connected to agent %s as %s.\n", server, user);
        ok = Tour(handle, server, path);
        if (Succeeded(PaDisconnect(handle, 0), "disconnect")) {
            printf("Disconnected.\n");
        } else {
            ok = 0;
        }
    }
    if (!Succeeded(PaConnectDestroy(handle), "release the handle")) {
        ok = 0;
    }
    puts(ok ? "Every step succeeded." : "Some step failed; see the messages above.");
    return ok ? 0 : 1;
}
