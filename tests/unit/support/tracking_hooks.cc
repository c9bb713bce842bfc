#include "support/tracking_hooks.h"

#include <agentclient/pa.h>

#include <cstdlib>
#include <cstring>

namespace {
TrackingHooks *active = nullptr;
}

TrackingHooks::TrackingHooks()
{
    active = this;
    PaMemorySetAlloc(&TrackingHooks::Alloc);
    PaMemorySetFree(&TrackingHooks::Free);
    PaMemorySetRealloc(&TrackingHooks::Realloc);
    PaMemorySetStrDup(&TrackingHooks::StrDup);
}

TrackingHooks::~TrackingHooks()
{
    PaMemorySetAlloc(std::malloc);
    PaMemorySetFree(std::free);
    PaMemorySetRealloc(std::realloc);
    PaMemorySetStrDup(strdup);
    active = nullptr;
}

void *TrackingHooks::Alloc(std::size_t size)
{
    ++active->allocs;
    if (active->fail) {
        return nullptr;
    }
    void *block = std::malloc(size);
    active->live_.insert(block);
    return block;
}

void TrackingHooks::Free(void *block)
{
    ++active->frees;
    if (active->live_.erase(block) == 0) {
        ++active->foreignFrees;
        return;
    }
    std::free(block);
}

void *TrackingHooks::Realloc(void *block, std::size_t size)
{
    ++active->reallocs;
    if (active->fail) {
        return nullptr;
    }
    active->live_.erase(block);
    void *resized = std::realloc(block, size);
    active->live_.insert(resized);
    return resized;
}

char *TrackingHooks::StrDup(const char *text)
{
    ++active->strdups;
    if (active->fail) {
        return nullptr;
    }
    char *copy = strdup(text);
    active->live_.insert(copy);
    return copy;
}
