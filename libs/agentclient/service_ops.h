// The decoder of service rows, for the RPC engine's dispatch.
#ifndef AGENTCLIENT_SERVICEOPS_H
#define AGENTCLIENT_SERVICEOPS_H

#include "rpc.h"

// Decodes service rows, with their continuation rows, into list-element services appended to
// the result list.
extern const PaRowDecoder PaServiceRowDecoder;

#endif
