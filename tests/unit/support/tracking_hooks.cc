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

void *TrackingHooks::Track(void *block)
{
    active->live_.insert(block);
    return block;
}

void *TrackingHooks::Alloc(std::size_t size) { return active->fail ? nullptr : Track(std::malloc(size)); }

char *TrackingHooks::StrDup(const char *text)
{
    return active->fail ? nullptr : static_cast<char *>(Track(strdup(text)));
}

void TrackingHooks::Free(void *block)
{
    if (active->live_.erase(block) == 0) {
        ++active->foreign_frees;
        return;
    }
    std::free(block);
}

void *TrackingHooks::Realloc(void *block, std::size_t size)
{
    if (active->fail) {
        return nullptr;
    }
    active->live_.erase(block);
    return Track(std::realloc(block, size));
}
