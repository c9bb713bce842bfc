#include "core/notify_socket.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <linux/ioctl.h>
#include <sys/ioctl.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>
#include <utility>

#include "core/proc_entry.h"
#include "core/spawn.h"

// What systemd-notify (systemd 252) sends, as tried on Linux 6.18: "READY=1" and the like in
// one datagram, then "BARRIER=1" with a pipe's end, after which it waits, up to 5 s, for that
// end to be closed; kept open, it fails with "Failed to invoke barrier" and exit status 1. So
// it lives until the agent has read its datagrams, unless run with --no-block. Unprivileged, its
// credentials name itself; run as root, the first datagram's credentials name its parent (a
// sender with CAP_SYS_ADMIN may put any PID there), and the pidfd of SCM_PIDFD names that same
// claimed process, not the real sender. Run as the process itself by root, it names the agent,
// which is not accepted. The pidfd still serves: it is the sender's (or claimed sender's) to the
// end, so its parent read through it cannot be another process's that took its PID, and it
// tells a sender reaped before the read, whose ancestry nothing shows any more.

namespace paagent {

namespace {

// Linux 6.5's and 6.13's, which the C library's headers may not have yet.
constexpr int kPassPidfd = 76;  // SO_PASSPIDFD
constexpr int kPidfdCmsg = 4;   // SCM_PIDFD
// The first published layout of struct pidfd_info.
struct PidfdInfo {
    std::uint64_t mask;
    std::uint64_t cgroup;
    std::uint32_t pid;
    std::uint32_t thread_group;
    std::uint32_t parent;
    std::uint32_t ids[8];  // real, effective, saved and file system user and group ids
    std::uint32_t spare;
};
static_assert(sizeof(PidfdInfo) == 64);
constexpr unsigned long kPidfdGetInfo = _IOWR(0xFF, 11, PidfdInfo);

// A batch of descriptors a sender may pass; the kernel closes any beyond it.
constexpr std::size_t kPassedDescriptors = 16;
// Datagrams read at one call: a flood waits for the next wake of a level-triggered epoll.
constexpr int kDrainLimit = 256;

// The parent of the sender, or nullopt when it has been reaped.
std::optional<pid_t> ParentOf(pid_t sender, const tds::FileDescriptor &pidfd)
{
    if (pidfd.Valid()) {
        PidfdInfo info{};
        if (ioctl(pidfd.Get(), kPidfdGetInfo, &info) == 0) {
            return static_cast<pid_t>(info.parent);
        }
        if (errno == ESRCH) {
            return std::nullopt;
        }
    }
    // A kernel without the pidfd or its information: /proc, which shows a zombie too.
    auto entry = ReadEntry(std::to_string(sender));
    if (!entry) {
        return std::nullopt;
    }
    return entry->parent;
}

void Apply(std::string_view line, Notification &notification, bool &heeded)
{
    if (line == "READY=1") {
        notification.ready = heeded = true;
    } else if (line == "STOPPING=1") {
        notification.stopping = heeded = true;
    } else if (line.starts_with("STATUS=")) {
        std::string_view text = line.substr(7);
        if (text.size() > kMaxNotifyStatus) {
            std::size_t cut = kMaxNotifyStatus;
            // Back to the start of the character cut, whose continuation bytes are 10xxxxxx.
            while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
                --cut;
            }
            text = text.substr(0, cut);
        }
        notification.status = std::string(text);
        heeded              = true;
    }
}

}  // namespace

std::optional<Notification> ParseNotification(std::string_view datagram)
{
    Notification notification;
    bool heeded = false;
    while (!datagram.empty()) {
        const auto end = datagram.find('\n');
        Apply(datagram.substr(0, end), notification, heeded);
        datagram.remove_prefix(end == std::string_view::npos ? datagram.size() : end + 1);
    }
    if (!heeded) {
        return std::nullopt;
    }
    return notification;
}

NotifySocket::NotifySocket(tds::FileDescriptor socket, std::string name, uid_t user, Log log)
    : socket_(std::move(socket)), name_(std::move(name)), user_(user), log_(std::move(log))
{
}

NotifySocket NotifySocket::Open(uid_t user, Log log)
{
    tds::FileDescriptor socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket.Valid()) {
        throw std::system_error(errno, std::generic_category(), "notification socket");
    }
    const int on = 1;
    if (setsockopt(socket.Get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        throw std::system_error(errno, std::generic_category(), "notification socket: SO_PASSCRED");
    }
    // Refused by kernels before 6.5, where /proc alone tells the sender's ancestry.
    (void)setsockopt(socket.Get(), SOL_SOCKET, kPassPidfd, &on, sizeof on);
    std::string name = "paagentd/notify/" + std::to_string(getpid()) + "/" + RandomToken();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (bind(socket.Get(), reinterpret_cast<const sockaddr *>(&address), length) != 0) {
        throw std::system_error(errno, std::generic_category(), "notification socket: bind");
    }
    return NotifySocket(std::move(socket), std::move(name), user, std::move(log));
}

std::string NotifySocket::Environment() const { return "NOTIFY_SOCKET=@" + name_; }

bool NotifySocket::FromTree(const ucred &sender, const tds::FileDescriptor &pidfd, pid_t leader) const
{
    if (sender.pid == leader) {
        return true;
    }
    if (auto parent = ParentOf(sender.pid, pidfd)) {
        return *parent == leader || DescendsFrom(*parent, leader);
    }
    // Reaped by its parent already (systemd-notify --no-block): only the address vouches for it,
    // which none but the process's tree and those who may read its environment, its user's
    // processes and root, can know.
    return sender.pid > 0 && sender.uid == user_;
}

void NotifySocket::Ignore(const std::string &why)
{
    if (!std::exchange(ignored_logged_, true) && log_) {
        log_(Verbosity::kDetail, "notification socket @" + name_ + ": ignored " + why);
    }
}

std::vector<Notification> NotifySocket::Receive(pid_t leader)
{
    std::vector<Notification> notifications;
    for (int count = 0; count < kDrainLimit; ++count) {
        char data[kMaxNotifyDatagram];
        iovec vector{data, sizeof data};
        alignas(cmsghdr) char
            control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int)) + CMSG_SPACE(sizeof(int) * kPassedDescriptors)];
        msghdr message{};
        message.msg_iov        = &vector;
        message.msg_iovlen     = 1;
        message.msg_control    = control;
        message.msg_controllen = sizeof control;
        const ssize_t got      = recvmsg(socket_.Get(), &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && log_) {
                log_(Verbosity::kError, "notification socket @" + name_ + ": " + std::strerror(errno));
            }
            break;
        }
        std::optional<ucred> sender;
        tds::FileDescriptor pidfd;
        for (cmsghdr *item = CMSG_FIRSTHDR(&message); item != nullptr; item = CMSG_NXTHDR(&message, item)) {
            if (item->cmsg_level != SOL_SOCKET) {
                continue;
            }
            if (item->cmsg_type == SCM_RIGHTS) {
                const std::size_t passed = (item->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (std::size_t at = 0; at < passed; ++at) {
                    int fd = -1;
                    std::memcpy(&fd, CMSG_DATA(item) + at * sizeof fd, sizeof fd);
                    close(fd);
                }
            } else if (item->cmsg_type == SCM_CREDENTIALS) {
                ucred credentials{};
                std::memcpy(&credentials, CMSG_DATA(item), sizeof credentials);
                sender = credentials;
            } else if (item->cmsg_type == kPidfdCmsg) {
                int fd = -1;
                std::memcpy(&fd, CMSG_DATA(item), sizeof fd);
                pidfd = tds::FileDescriptor(fd);
            }
        }
        if ((message.msg_flags & MSG_TRUNC) != 0) {
            Ignore("a datagram longer than " + std::to_string(kMaxNotifyDatagram) + " bytes");
        } else if (!sender || !FromTree(*sender, pidfd, leader)) {
            Ignore("a datagram from PID " + (sender ? std::to_string(sender->pid) : "unknown") +
                   ", which is not process " + std::to_string(leader) + " or one of its descendants");
        } else if (auto notification = ParseNotification(std::string_view(data, static_cast<std::size_t>(got)))) {
            notifications.push_back(std::move(*notification));
        }
    }
    return notifications;
}

}  // namespace paagent
