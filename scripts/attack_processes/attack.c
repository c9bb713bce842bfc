/*
 * attack: many clients starting and stopping the same 16 processes at once, then a count of
 * the processes a stop left running.
 *
 *   attack SERVER SECONDS CLIENTS MARK
 *
 * Forks CLIENTS clients, each logged in to SERVER as $PA_USER with $PA_PASSWORD over its own
 * connection. For SECONDS each picks one of the shared processes at random and starts it
 * (with or without a time-out), stops it, restarts it or asks for its status. Every process
 * runs a shell that forks a sleep, both carrying MARK in their environment. When the clients
 * are done, every process is stopped once more; then every process on the machine carrying
 * MARK is one a stop that reported success left running. Prints the figures and each process
 * left; exits with status 0 when none is left, 1 when some are (they are killed), 2 on a usage
 * or connection error.
 */
#define _GNU_SOURCE

#include <agentclient/pa.h>

#include <ctype.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define PROCESS_COUNT 16
#define MAX_CLIENTS 64

enum Operation {
    START,
    START_WAITING,
    STOP,
    RESTART,
    STATUS,
    OPERATION_COUNT
};

static const char *const operation_names[OPERATION_COUNT] = {"start", "start with time-out", "stop", "restart",
                                                             "status"};

/* What one client did: calls made and calls the agent refused, per operation. */
struct Tally {
    long calls[OPERATION_COUNT];
    long refused[OPERATION_COUNT];
    long lost; /* calls whose connection failed */
};

static PaProcess *make_process(int index, const char *mark)
{
    char name[32];
    char command[128];
    snprintf(name, sizeof name, "attack-%d", index);
    /* The shell forks the sleep and waits for it, so the sleep is the shell's child in its group. */
    snprintf(command, sizeof command, "ATTACK_MARK=%s sh -c 'sleep 3600; exit 0'", mark);
    return PaVaProcessCreate(name, PaPROCESS_HOSTNAME, "localhost", PaPROCESS_COMMAND, command, PaPROCESS_EUID,
                             (int32_t)getuid(), 0);
}

static PaConnection *connect_to(const char *server)
{
    const char *user     = getenv("PA_USER");
    const char *password = getenv("PA_PASSWORD");
    if (user == NULL || password == NULL) {
        fprintf(stderr, "attack: set PA_USER and PA_PASSWORD\n");
        return NULL;
    }
    PaConnection *handle = PaConnectCreate(server, "attack", user, password);
    if (handle == NULL || PaConnect(handle) != PaSUCCESS) {
        fprintf(stderr, "attack: cannot connect to %s\n", server);
        if (handle != NULL) {
            PaConnectDestroy(handle);
        }
        return NULL;
    }
    return handle;
}

static int32_t perform(PaConnection *handle, const PaProcess *process, enum Operation operation)
{
    int32_t pid = 0;
    switch (operation) {
    case START: return PaProcessStart(handle, process);
    case START_WAITING: return PaProcessStartWithTimeOut(handle, process, 1);
    case STOP: return PaProcessStop(handle, process);
    case RESTART: return PaProcessForwardStateRequest(handle, process, 2);
    case STATUS: return PaProcessStatus(handle, process, &pid) == PaPROCESS_STATUS_FAILED ? PaFAILURE : PaSUCCESS;
    default: return PaFAILURE;
    }
}

/* One client's loop; writes its tally to the pipe. */
static int run_client(const char *server, int seconds, const char *mark, unsigned seed, int out)
{
    PaConnection *handle = connect_to(server);
    if (handle == NULL) {
        return 2;
    }
    PaProcess *processes[PROCESS_COUNT];
    for (int k = 0; k < PROCESS_COUNT; ++k) {
        processes[k] = make_process(k, mark);
    }
    struct Tally tally;
    memset(&tally, 0, sizeof tally);
    time_t end = time(NULL) + seconds;
    while (time(NULL) < end) {
        enum Operation operation = (enum Operation)(rand_r(&seed) % OPERATION_COUNT);
        int32_t result           = perform(handle, processes[rand_r(&seed) % PROCESS_COUNT], operation);
        ++tally.calls[operation];
        if (result == PaCONNECTION_LOST || result == PaCONNECT_FAILED) {
            ++tally.lost;
        } else if (result != PaSUCCESS) {
            ++tally.refused[operation];
        }
    }
    for (int k = 0; k < PROCESS_COUNT; ++k) {
        PaProcessFree(processes[k]);
    }
    PaDisconnect(handle, 0);
    PaConnectDestroy(handle);
    return write(out, &tally, sizeof tally) == (ssize_t)sizeof tally ? 0 : 2;
}

/* Whether the environment of process pid holds the entry ATTACK_MARK=mark. */
static int carries_mark(const char *pid, const char *mark)
{
    char path[64];
    char entry[128];
    snprintf(path, sizeof path, "/proc/%s/environ", pid);
    snprintf(entry, sizeof entry, "ATTACK_MARK=%s", mark);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    static char environment[1 << 16];
    ssize_t size = read(fd, environment, sizeof environment - 1);
    close(fd);
    for (ssize_t at = 0; at < size; at += (ssize_t)strlen(environment + at) + 1) {
        environment[size] = '\0';
        if (strcmp(environment + at, entry) == 0) {
            return 1;
        }
    }
    return 0;
}

/* Prints a process's PID, parent, group and command, from /proc/PID/stat. */
static void describe(const char *pid)
{
    char path[64];
    char stat[512] = "";
    snprintf(path, sizeof path, "/proc/%s/stat", pid);
    FILE *file = fopen(path, "r");
    if (file != NULL) {
        if (fgets(stat, sizeof stat, file) == NULL) {
            stat[0] = '\0';
        }
        fclose(file);
    }
    int parent     = 0;
    int group      = 0;
    char state     = '?';
    const char *at = strrchr(stat, ')');
    if (at == NULL || sscanf(at + 1, " %c %d %d", &state, &parent, &group) != 3) {
        return;
    }
    printf("  left running: PID %s (%.*s), state %c, parent %d, group %d\n", pid, (int)(at - strchr(stat, '(') - 1),
           strchr(stat, '(') + 1, state, parent, group);
}

/* Counts the processes carrying the mark, describing and killing each when kill_them is set. */
static int marked_processes(const char *mark, int kill_them)
{
    DIR *proc = opendir("/proc");
    if (proc == NULL) {
        perror("/proc");
        return -1;
    }
    int count = 0;
    for (struct dirent *entry = readdir(proc); entry != NULL; entry = readdir(proc)) {
        if (!isdigit((unsigned char)entry->d_name[0]) || !carries_mark(entry->d_name, mark)) {
            continue;
        }
        ++count;
        if (kill_them) {
            describe(entry->d_name);
            kill((pid_t)atoi(entry->d_name), SIGKILL);
        }
    }
    closedir(proc);
    return count;
}

/* Stops every process the agent runs; the result of the stop. */
static int32_t stop_everything(const char *server)
{
    PaConnection *handle = connect_to(server);
    if (handle == NULL) {
        return PaCONNECT_FAILED;
    }
    int32_t result = PaStopProcesses(handle);
    PaDisconnect(handle, 0);
    PaConnectDestroy(handle);
    return result;
}

/* Collects the clients' tallies into total; the number of clients that failed. */
static int collect(int clients, int in, struct Tally *total)
{
    int failed = 0;
    memset(total, 0, sizeof *total);
    for (int c = 0; c < clients; ++c) {
        int status = 0;
        if (wait(&status) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            ++failed;
        }
    }
    struct Tally tally;
    while (read(in, &tally, sizeof tally) == (ssize_t)sizeof tally) {
        for (int k = 0; k < OPERATION_COUNT; ++k) {
            total->calls[k] += tally.calls[k];
            total->refused[k] += tally.refused[k];
        }
        total->lost += tally.lost;
    }
    return failed;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (argc != 5) {
        fprintf(stderr, "usage: %s SERVER SECONDS CLIENTS MARK\n", argv[0]);
        return 2;
    }
    const char *server = argv[1];
    int seconds        = atoi(argv[2]);
    int clients        = atoi(argv[3]);
    const char *mark   = argv[4];
    if (seconds <= 0 || clients <= 0 || clients > MAX_CLIENTS || strlen(mark) > 64) {
        fprintf(stderr, "attack: SECONDS must be positive, CLIENTS from 1 to %d, MARK short\n", MAX_CLIENTS);
        return 2;
    }
    int tallies[2];
    if (pipe(tallies) != 0) {
        perror("pipe");
        return 2;
    }
    for (int c = 0; c < clients; ++c) {
        pid_t pid = fork();
        if (pid < 0) {
            perror("fork");
            return 2;
        }
        if (pid == 0) {
            close(tallies[0]);
            _exit(run_client(server, seconds, mark, (unsigned)(getpid() * 2654435761u), tallies[1]));
        }
    }
    close(tallies[1]);
    struct Tally total;
    int failed = collect(clients, tallies[0], &total);
    close(tallies[0]);

    printf("%d clients for %d seconds on %d processes:\n", clients, seconds, PROCESS_COUNT);
    for (int k = 0; k < OPERATION_COUNT; ++k) {
        printf("  %-20s %7ld calls, %6ld refused\n", operation_names[k], total.calls[k], total.refused[k]);
    }
    printf("  connections lost:    %ld; clients failed: %d\n", total.lost, failed);
    int32_t stopped = stop_everything(server);
    printf("final stop of every process: %s\n", stopped == PaSUCCESS ? "succeeded" : "FAILED");
    int left = marked_processes(mark, 1);
    printf("processes left running after the final stop: %d\n", left);
    return failed != 0 || stopped != PaSUCCESS || left < 0 ? 2 : left != 0;
}
