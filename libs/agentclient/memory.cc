// The four allocation wrappers and their replaceable hooks. This is the only module of the
// library that calls the runtime allocator.
#include "memory.h"

#include <cstdlib>
#include <cstring>

namespace {

PaAllocFunc alloc_hook     = std::malloc;
PaFreeFunc free_hook       = std::free;
PaReallocFunc realloc_hook = std::realloc;
PaStrDupFunc str_dup_hook  = strdup;

// An absent hook falls back to the runtime function, so a NULL set by mistake never turns
// the next allocation into a call through a null pointer.
void *CallAlloc(size_t size) { return alloc_hook != nullptr ? alloc_hook(size) : std::malloc(size); }
void CallFree(void *block)
{
    if (free_hook != nullptr) {
        free_hook(block);
    } else {
        std::free(block);
    }
}
void *CallRealloc(void *block, size_t size)
{
    return realloc_hook != nullptr ? realloc_hook(block, size) : std::realloc(block, size);
}
char *CallStrDup(const char *text) { return str_dup_hook != nullptr ? str_dup_hook(text) : strdup(text); }

}  // namespace

namespace pa {

void LogAllocFailure(std::size_t size)
{
    PaMsgLog(PaMSG_DEBUG, "(Requested size was %zu bytes)", size);
    PaMsgLog(PaMSG_FATAL_ERROR, "Failed to allocate memory.");
}

}  // namespace pa

extern "C" {

void *PaMalloc(size_t size)
{
    void *block = CallAlloc(size);
    if (block == nullptr) {
        pa::LogAllocFailure(size);
    }
    return block;
}

void PaFree(void *block)
{
    if (block == nullptr) {
        PaMsgLog(PaMSG_ERROR, "Attempt to free NULL pointer.");
        return;
    }
    CallFree(block);
}

void *PaRealloc(void *block, size_t size)
{
    if (block == nullptr) {
        PaMsgLog(PaMSG_ERROR, "Attempt to realloc a NULL pointer.");
        return nullptr;
    }
    void *resized = CallRealloc(block, size);
    if (resized == nullptr) {
        PaMsgLog(PaMSG_DEBUG, "Address %p (New Requested size was %zu bytes)", block, size);
        PaMsgLog(PaMSG_FATAL_ERROR, "Failed to realloc memory.");
    }
    return resized;
}

char *PaStrDup(const char *text)
{
    // A NULL text is no request for memory, so it is not reported as exhaustion.
    if (text == nullptr) {
        return nullptr;
    }
    char *copy = CallStrDup(text);
    if (copy == nullptr) {
        PaMsgLog(PaMSG_FATAL_ERROR, "Insufficient Memory to duplicate - %s.", text);
    }
    return copy;
}

void PaMemorySetAlloc(PaAllocFunc hook) { alloc_hook = hook; }
void PaMemorySetFree(PaFreeFunc hook) { free_hook = hook; }
void PaMemorySetRealloc(PaReallocFunc hook) { realloc_hook = hook; }
void PaMemorySetStrDup(PaStrDupFunc hook) { str_dup_hook = hook; }

PaAllocFunc PaMemoryGetAlloc(void) { return alloc_hook; }
PaFreeFunc PaMemoryGetFree(void) { return free_hook; }
PaReallocFunc PaMemoryGetRealloc(void) { return realloc_hook; }
PaStrDupFunc PaMemoryGetStrDup(void) { return str_dup_hook; }

}  // extern "C"
