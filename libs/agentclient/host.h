// The host routing entry and the internal routine that the routing operations share.
#ifndef AGENTCLIENT_HOST_H
#define AGENTCLIENT_HOST_H

#include <agentclient/pa.h>

// Both texts are owned copies and never none (an absent text is stored as the empty text).
struct PaHost {
    char *host_name;
    char *server_name;
};

// Releases both texts of an entry, not the entry; the list release callback.
void PaHostFreeContents(void *host);

#endif
