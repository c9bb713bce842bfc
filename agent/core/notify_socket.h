// The socket on which a started process announces its readiness the way sd_notify does: its
// address is in the process's NOTIFY_SOCKET, so that daemons and systemd-notify work unchanged.
#ifndef PAAGENT_CORE_NOTIFY_SOCKET_H
#define PAAGENT_CORE_NOTIFY_SOCKET_H

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/types.h>
#include <vector>

#include "core/agent_types.h"
#include "tds/socket.h"

namespace paagent {

// Longer datagrams are ignored whole; longer STATUS= texts are cut.
inline constexpr std::size_t kMaxNotifyDatagram = 4096;
inline constexpr std::size_t kMaxNotifyStatus   = 1024;

// What one datagram said, of what the agent heeds.
struct Notification {
    bool ready    = false;  // READY=1
    bool stopping = false;  // STOPPING=1
    std::optional<std::string> status;

    bool operator==(const Notification &) const = default;
};

// The datagram's text, or nullopt when it holds nothing the agent heeds. STATUS= the last one,
// cut to kMaxNotifyStatus bytes at a character's start.
std::optional<Notification> ParseNotification(std::string_view datagram);

// One process's notification socket. Its address is in the abstract namespace, with a name of
// the agent's PID and 128 random bits: it is no file, so nothing is left behind when it is
// closed or the agent crashes, and no directory's permissions stand between it and the user the
// process runs as. Anyone in the network namespace may send to a name they know; only the
// process's tree, and those who may read its environment, know it, and the sender's
// credentials must name the process or a descendant (see Receive).
class NotifySocket {
public:
    using Log = std::function<void(Verbosity, const std::string &)>;

    // For a process run as user. Throws std::system_error when no socket can be had.
    static NotifySocket Open(uid_t user, Log log);

    // Readable when datagrams wait: watch it with epoll.
    int Descriptor() const { return socket_.Get(); }
    // "NOTIFY_SOCKET=@NAME", for the process's environment.
    std::string Environment() const;
    // Reads every datagram that waits, without waiting, and closes the descriptors sent with
    // them (systemd-notify waits until its barrier's is closed). Keeps those sent by leader or
    // one of its descendants; a sender that has ended and been reaped before its datagram is
    // read counts when it ran as the process's user. The first datagram ignored is logged.
    std::vector<Notification> Receive(pid_t leader);

private:
    NotifySocket(tds::FileDescriptor socket, std::string name, uid_t user, Log log);

    bool FromTree(const ucred &sender, const tds::FileDescriptor &pidfd, pid_t leader) const;
    void Ignore(const std::string &why);

    tds::FileDescriptor socket_;
    std::string name_;  // without the abstract namespace's leading NUL
    uid_t user_;
    Log log_;
    bool ignored_logged_ = false;
};

}  // namespace paagent

#endif  // PAAGENT_CORE_NOTIFY_SOCKET_H
