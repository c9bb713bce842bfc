// The service record and the internal routines that the service operations share.
#ifndef AGENTCLIENT_SERVICE_H
#define AGENTCLIENT_SERVICE_H

#include <agentclient/pa.h>

#include <cstdint>

// The name is an owned copy; members is an owned list of PaServProcess elements, each owning
// its process and, for PaVALUE_TEXT, its text.
struct PaService {
    char *name;
    int32_t type;
    int32_t start;
    PaList *members;
};

// Releases what the service owns (name, members, member list), not the record; the list
// release callback.
void PaServiceFreeContents(void *service);
// Releases what a member entry owns (process, text), not the entry; the list release callback.
void PaServProcessFreeContents(void *entry);

#endif
