// Memory hooks that account for every block the library makes and releases, and can be told
// to fail. Installed for the life of the object; the destructor restores the runtime hooks.
#ifndef AGENTCLIENT_TESTS_TRACKINGHOOKS_H
#define AGENTCLIENT_TESTS_TRACKINGHOOKS_H

#include <cstddef>
#include <set>

class TrackingHooks {
public:
    TrackingHooks();
    ~TrackingHooks();
    TrackingHooks(const TrackingHooks &)            = delete;
    TrackingHooks &operator=(const TrackingHooks &) = delete;

    // Releases of blocks these hooks never made.
    std::size_t foreign_frees = 0;
    // When set, the allocating hooks return NULL.
    bool fail = false;

    std::size_t LiveBlocks() const { return live_.size(); }

private:
    static void *Alloc(std::size_t size);
    static void Free(void *block);
    static void *Realloc(void *block, std::size_t size);
    static char *StrDup(const char *text);
    // A block made by the runtime, recorded as live, or NULL when told to fail.
    static void *Track(void *block);
    std::set<void *> live_;
};

#endif
