/* Compiles the public header as C99 and uses a few of its declarations. */
#include <agentclient/pa.h>

int PaHeaderIsC(void);

int PaHeaderIsC(void)
{
    PaServProcess member = {0, PaVALUE_NONE, {0}};
    PaAllocFunc alloc    = PaMemoryGetAlloc();
    return member.kind == PaVALUE_NONE && alloc != 0 && PaSUCCESS == 0;
}
