/*
 * A C program outside the tree, built against an installed agentclient: connects to the agent
 * $PA_SERVER as $PA_USER with $PA_PASSWORD, reads its version and its process list, and prints
 * the version of the header it was built with. Exits with status 0 when every call succeeded.
 */
#include <agentclient/pa.h>

#include <stdio.h>
#include <stdlib.h>

static const char *setting(const char *name)
{
    const char *value = getenv(name);
    return value != NULL ? value : "";
}

/* Reads the agent's version and counts its processes; PaSUCCESS or the failing call's code. */
static int32_t survey(PaConnection *agent)
{
    int32_t major = 0, minor = 0;
    PaList *processes = NULL;
    int32_t status    = PaServerGetVersionNo(agent, &major, &minor);
    if (status == PaSUCCESS) {
        status = PaProcessGetList(agent, &processes, 1);
    }
    if (status == PaSUCCESS) {
        printf("agent %d.%d, %d processes\n", (int)major, (int)minor, (int)PaListNumberOfElements(processes));
        PaProcessListFree(processes);
    }
    return status;
}

int main(void)
{
    PaConnection *agent = PaConnectCreate(setting("PA_SERVER"), "consumer", setting("PA_USER"), setting("PA_PASSWORD"));
    int32_t status      = agent != NULL ? PaConnect(agent) : PaCONNECT_FAILED;
    if (status == PaSUCCESS) {
        status = survey(agent);
        PaDisconnect(agent, 0);
    }
    if (agent != NULL) {
        PaConnectDestroy(agent);
    }
    printf("agentclient %d.%d.%d (%d)\n", PA_VERSION_MAJOR, PA_VERSION_MINOR, PA_VERSION_PATCH, PA_VERSION_NUMBER);
    return status == PaSUCCESS ? EXIT_SUCCESS : EXIT_FAILURE;
}
