// Host routing entries: pairs of a host name and the name of the agent server serving it,
// standalone or as list elements.
#include "host.h"

#include "records.h"

namespace {

const char *OrEmpty(const char *text) { return text != nullptr ? text : ""; }

// Makes both copies before the entry's storage, so that no failure leaves a half-made entry.
PaHost *MakeHost(const char *host_name, const char *server_name, void *(*allocate)(size_t))
{
    pa::Owned<char> host(PaStrDup(OrEmpty(host_name)));
    pa::Owned<char> server(PaStrDup(OrEmpty(server_name)));
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
    pa::Release(host->host_name);
    pa::Release(host->server_name);
    *host = PaHost{nullptr, nullptr};
}

extern "C" {

PaHost *PaHostCreate(const char *host_name, const char *server_name)
{
    return MakeHost(host_name, server_name, PaMalloc);
}

void PaHostFree(PaHost *host)
{
    if (host != nullptr) {
        PaHostFreeContents(host);
        PaFree(host);
    }
}

PaHost *PaHostAllocElement(const char *host_name, const char *server_name)
{
    return MakeHost(host_name, server_name, pa::AllocUnlinkedElement);
}

void PaHostDeleteElement(PaList *list, PaHost *host) { PaListDeleteElement(list, host, PaHostFreeContents); }

void PaHostListDestroy(PaList *list) { PaListDestroy(list, PaHostFreeContents); }

char *PaHostGetHostName(const PaHost *host) { return CopyField(host, &PaHost::host_name); }
char *PaHostGetServerName(const PaHost *host) { return CopyField(host, &PaHost::server_name); }
void PaHostSetHostName(PaHost *host, const char *host_name) { SetField(host, &PaHost::host_name, host_name); }
void PaHostSetServerName(PaHost *host, const char *server_name) { SetField(host, &PaHost::server_name, server_name); }

}  // extern "C"
