// The decoder of host rows, for the RPC engine's dispatch.
#ifndef AGENTCLIENT_HOSTOPS_H
#define AGENTCLIENT_HOSTOPS_H

#include "rpc.h"

// Decodes host rows into list-element entries appended to the result list.
extern const PaRowDecoder PaHostRowDecoder;

#endif
