/* A PA-aware process for the end-to-end tests: writes its PID to the file named by its one
 * argument, reports that PID under the process id the agent gave it (PA_SERVER,
 * PA_PROCESS_ID), then runs until stopped or for at most 30 seconds. */
#include <agentclient/pa.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    const char *server     = getenv("PA_SERVER");
    const char *process_id = getenv("PA_PROCESS_ID");
    FILE *file             = NULL;
    if (argc != 2 || server == NULL || process_id == NULL || (file = fopen(argv[1], "w")) == NULL) {
        return 2;
    }
    fprintf(file, "%d", (int)getpid());
    if (fclose(file) != 0) {
        return 2;
    }
    if (PaInformPA(server, (int32_t)getpid(), (int32_t)atoi(process_id)) != PaSUCCESS) {
        return 1;
    }
    sleep(30);
    return 0;
}
