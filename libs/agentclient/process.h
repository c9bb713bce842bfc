// The process record and the internal routines that the process operations, the service
// records and the configuration file writer share.
#ifndef AGENTCLIENT_PROCESS_H
#define AGENTCLIENT_PROCESS_H

#include <agentclient/pa.h>

#include <cstdarg>
#include <cstdint>
#include <memory>

// Texts are owned copies, NULL meaning none; the handle is owned, 0 meaning none.
struct PaProcess {
    char *name;
    char *host_name;
    char *command;
    int32_t euid;
    int32_t managed;
    int32_t pid;
    char *restart_msg;
    char *alert_msg;
    int32_t retry_count;
    int32_t type = PaNOT_PA_AWARE;
    PaProcessHandle handle;
};

// Returns a new standalone record with the initial values and no name, or NULL.
PaProcess *PaProcessNew(void);
// Releases what the record owns (texts, handle), not the record; the list release callback.
void PaProcessFreeContents(void *process);
// Handle one attribute identifier, reading its value (or the pointer to the caller's
// variable) from args by the identifier's type. Results: PaSUCCESS; PaUNKNOWN_ATTRIBUTE,
// logged, with nothing read; PaFAILURE for a refused value or exhausted memory.
int32_t PaProcessSetAttributeV(PaProcess *process, int32_t id, va_list *args);
int32_t PaProcessGetAttributeV(const PaProcess *process, int32_t id, va_list *args);
// Stores in *target a new descriptor on the process of source (close-on-exec, never below 3).
// On failure logs "DuplicateHandle() failed." with the system's text, stores 0 and returns
// PaFAILURE.
int32_t PaDuplicateHandle(PaProcessHandle source, PaProcessHandle *target);

namespace pa {

struct ProcessDeleter {
    void operator()(PaProcess *process) const noexcept { PaProcessFree(process); }
};

// Sole owner of a standalone process record.
using OwnedProcess = std::unique_ptr<PaProcess, ProcessDeleter>;

}  // namespace pa

#endif
