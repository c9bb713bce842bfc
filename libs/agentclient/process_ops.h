// Internal routines of the process operations that the service operations share.
#ifndef AGENTCLIENT_PROCESSOPS_H
#define AGENTCLIENT_PROCESSOPS_H

#include "rpc.h"

// Appends the ten process parameters of process to params: PaSUCCESS, PaMISSING_ARGUMENT
// (logged) without a host name or command, PaFAILURE when memory ran out.
int32_t PaProcessMarshal(const PaProcess *process, pa::RpcParams &params);
// Sets the record from the ten columns of a process row, starting at columns[0]; the
// protocol's no-value text in the two message columns leaves the message none.
void PaProcessFromRow(PaProcess *process, const PaRpcColumn *columns);

#endif
