// Internal helpers over the memory wrappers.
#ifndef AGENTCLIENT_MEMORY_H
#define AGENTCLIENT_MEMORY_H

#include <agentclient/pa.h>

#include <cstddef>
#include <memory>

namespace pa {

// Logs an allocation of size bytes that could not be satisfied, as PaMalloc does when its
// hook fails: the size at Debug, then the Fatal Error line.
void LogAllocFailure(std::size_t size);

// Releases a block made through the memory wrappers; NULL is ignored, so owners may be empty.
struct BlockDeleter {
    void operator()(void *block) const noexcept
    {
        if (block != nullptr) {
            PaFree(block);
        }
    }
};

// Sole owner of a block made through the memory wrappers.
template <class T>
using Owned = std::unique_ptr<T, BlockDeleter>;

}  // namespace pa

#endif
