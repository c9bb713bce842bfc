// Which processes hold the client end of a connection made on this host, for a login whose word
// counts only for the process it runs in.
#ifndef PAAGENT_CORE_SOCKET_OWNER_H
#define PAAGENT_CORE_SOCKET_OWNER_H

#include <sys/types.h>

namespace paagent {

// Whether the peer of the connected TCP socket is a loopback socket that process pid or one of
// its descendants holds open. Reads the TCP tables of /proc/net and the descriptors of that
// process tree alone, of at most 1024 processes.
bool PeerHeldBy(int socket, pid_t pid);

}  // namespace paagent

#endif  // PAAGENT_CORE_SOCKET_OWNER_H
