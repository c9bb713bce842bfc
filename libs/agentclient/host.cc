// Host routing entries: pairs of a host name and the name of the agent server serving it,
// standalone or as list elements.
#include "host.h"

#include "records.h"

namespace {

const char *OrEmpty(const char *text) { return text != nullptr ? text : ""; }

// Makes both copies before the entry's storage, so that no failure leaves a half-made entry.
PaHost *MakeHost(const char *hostName, const char *serverName, void *(*allocate)(size_t))
{
    pa::Owned<char> host(PaStrDup(OrEmpty(hostName)));
    pa::Owned<char> server(PaStrDup(OrEmpty(serverName)));
    if (host == nullptr || server == nullptr) {
        return nullptr;
    }
    auto *entry = static_cast<PaHost *>(allocate(sizeof(PaHost)));
    if (entry != nullptr) {
        *entry = PaHost{host.release(), server.release()};
    }
    return entry;
}

char *CopyField(const PaHost *host, char *PaHost::*field) { return host != nullptr ? PaStrDup(host->*field) : nullptr; }

void SetField(PaHost *host, char *PaHost::*field, const char *text)
{
    if (host != nullptr) {
        pa::ReplaceText(&(host->*field), OrEmpty(text));
    }
}

}  // namespace

void PaHostFreeContents(void *record)
{
    auto *host = static_cast<PaHost *>(record);
    pa::Release(host->hostName);
    pa::Release(host->serverName);
    *host = PaHost{nullptr, nullptr};
}

extern "C" {

PaHost *PaHostCreate(const char *hostName, const char *serverName) { return MakeHost(hostName, serverName, PaMalloc); }

void PaHostFree(PaHost *host)
{
    if (host != nullptr) {
        PaHostFreeContents(host);
        PaFree(host);
    }
}

PaHost *PaHostAllocElement(const char *hostName, const char *serverName)
{
    return MakeHost(hostName, serverName, pa::AllocUnlinkedElement);
}

void PaHostDeleteElement(PaList *list, PaHost *host) { PaListDeleteElement(list, host, PaHostFreeContents); }

void PaHostListDestroy(PaList *list) { PaListDestroy(list, PaHostFreeContents); }

char *PaHostGetHostName(const PaHost *host) { return CopyField(host, &PaHost::hostName); }
char *PaHostGetServerName(const PaHost *host) { return CopyField(host, &PaHost::serverName); }
void PaHostSetHostName(PaHost *host, const char *hostName) { SetField(host, &PaHost::hostName, hostName); }
void PaHostSetServerName(PaHost *host, const char *serverName) { SetField(host, &PaHost::serverName, serverName); }

}  // extern "C"
