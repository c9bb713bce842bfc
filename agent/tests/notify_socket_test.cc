// A process's notification socket, spoken to by the real systemd-notify and by raw datagrams.
#include "core/notify_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <ostream>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace paagent {

void PrintTo(const Notification &notification, std::ostream *out)
{
    *out << "{ready " << notification.ready << ", stopping " << notification.stopping << ", status "
         << notification.status.value_or("none") << "}";
}

namespace {

using tds::FileDescriptor;

constexpr uid_t kNobody = 65534;
constexpr auto kBound   = std::chrono::seconds(10);
// Nothing in it the agent heeds, though close to it.
constexpr char kGarbage[] = "\xff\xfe\0READY=0\nREADY=1x\nSTATUS\nSTOPPING=yes\n=\n\n";

// Sends the payload to the socket named by "NOTIFY_SOCKET=@NAME".
void Send(const std::string &environment, const std::string &payload)
{
    const std::string name = environment.substr(environment.find('@') + 1);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const FileDescriptor socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sendto(socket.Get(), payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr *>(&address),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size()));
}

// A child running fn, or the program of argv with only PATH and the notification socket.
pid_t Start(const std::vector<std::string> &argv, const std::function<void()> &fn, const std::string &environment)
{
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    if (argv.empty()) {
        fn();
        _exit(0);
    }
    std::vector<char *> args;
    for (const auto &word : argv) {
        args.push_back(const_cast<char *>(word.c_str()));
    }
    args.push_back(nullptr);
    std::string path = "PATH=/usr/bin:/bin";
    char *envp[]     = {path.data(), const_cast<char *>(environment.c_str()), nullptr};
    execve(args[0], args.data(), envp);
    _exit(127);
}

std::vector<std::string> AsNobody(std::vector<std::string> argv)
{
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    return argv;
}

TEST(NotifySocket, KeepsWhatTheProcessTreeSaysAndIgnoresTheRest)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "runs processes as another user";
    }
    std::string long_status = "a";
    for (int at = 0; at < 1500; ++at) {
        long_status += "\xc3\xa9";  // 2 bytes, so that 1024 bytes end in the middle of one
    }
    std::string cut_status = "a";
    for (int at = 0; at < 511; ++at) {
        cut_status += "\xc3\xa9";
    }
    enum class Sibling {
        kNone,
        kEnded,     // of the process's user, ended but not reaped when the datagram is read
        kOtherUser  // of another user, reaped before the datagram is read
    };
    const struct {
        const char *rule;
        uid_t user;                     // the process's
        std::vector<std::string> argv;  // the process's program; none: it sends payload itself
        std::string payload;
        Sibling sibling;
        bool read_after_end;  // nothing is read before the process has ended and been reaped
        std::vector<Notification> expected;
    } rows[] = {
        {"systemd-notify as the process",
         kNobody,
         AsNobody({"/usr/bin/systemd-notify", "--ready", "--status=warming"}),
         "",
         Sibling::kNone,
         false,
         {{true, false, "warming"}}},
        {"systemd-notify in a grandchild, as root (naming its parent)",
         0,
         {"/bin/sh", "-c", "sh -c 'systemd-notify --ready'"},
         "",
         Sibling::kNone,
         false,
         {{true, false, std::nullopt}}},
        {"systemd-notify in a grandchild, as its user (naming itself)",
         kNobody,
         AsNobody({"/bin/sh", "-c", "sh -c 'systemd-notify --ready'"}),
         "",
         Sibling::kNone,
         false,
         {{true, false, std::nullopt}}},
        {"a child that has ended and been reaped before the read",
         kNobody,
         AsNobody({"/bin/sh", "-c", "systemd-notify --no-block --ready"}),
         "",
         Sibling::kNone,
         true,
         {{true, false, std::nullopt}}},
        {"a sibling of the process's user", 0, {}, "", Sibling::kEnded, false, {}},
        {"a reaped sibling of another user", 0, {}, "", Sibling::kOtherUser, false, {}},
        {"a status longer than 1 KB",
         kNobody,
         AsNobody({"/usr/bin/systemd-notify", "--status=" + long_status}),
         "",
         Sibling::kNone,
         false,
         {{false, false, cut_status}}},
        {"garbage", 0, {}, std::string(kGarbage, sizeof kGarbage - 1), Sibling::kNone, false, {}},
        {"a datagram longer than 4 KB", 0, {}, "READY=1\n" + std::string(5000, 'x'), Sibling::kNone, false, {}},
        {"stopping, and the last of two statuses",
         0,
         {},
         "STATUS=one\nSTOPPING=1\nSTATUS=two",
         Sibling::kNone,
         false,
         {{false, true, "two"}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.rule);
        NotifySocket socket     = NotifySocket::Open(row.user, nullptr);
        const std::string where = socket.Environment();
        const bool sends_itself = row.argv.empty() && row.sibling == Sibling::kNone;
        int hold[2];
        ASSERT_EQ(pipe2(hold, O_CLOEXEC), 0);
        FileDescriptor release(hold[1]);
        const FileDescriptor held(hold[0]);
        // A process that sends nothing waits until the sibling has sent.
        const pid_t leader = Start(
            row.argv,
            [&] {
                char byte = 0;
                if (sends_itself) {
                    Send(where, row.payload);
                } else {
                    release.Reset();
                    (void)!read(held.Get(), &byte, 1);
                }
            },
            where);
        ASSERT_GT(leader, 0);
        const FileDescriptor leader_end(static_cast<int>(syscall(SYS_pidfd_open, leader, 0)));
        pid_t sibling = 0;
        if (row.sibling != Sibling::kNone) {
            sibling = Start(
                {},
                [&] {
                    if (row.sibling == Sibling::kOtherUser && setresuid(kNobody, kNobody, kNobody) != 0) {
                        _exit(1);
                    }
                    Send(where, "READY=1");
                },
                where);
            siginfo_t ended{};
            ASSERT_EQ(waitid(P_PID, static_cast<id_t>(sibling), &ended,
                             WEXITED | (row.sibling == Sibling::kEnded ? WNOWAIT : 0)),
                      0);
        }
        release.Reset();
        std::vector<Notification> got;
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        for (bool ended = false; !ended;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            ASSERT_GT(left.count(), 0) << "the process did not end";
            pollfd watched[] = {{leader_end.Get(), POLLIN, 0},
                                {row.read_after_end ? -1 : socket.Descriptor(), POLLIN, 0}};
            poll(watched, 2, static_cast<int>(left.count()));
            ended = watched[0].revents != 0;
            if (watched[1].revents != 0) {
                for (auto &notification : socket.Receive(leader)) {
                    got.push_back(notification);
                }
            }
        }
        int status = 0;
        ASSERT_EQ(waitpid(leader, &status, 0), leader);
        for (auto &notification : socket.Receive(leader)) {
            got.push_back(notification);
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        EXPECT_EQ(got, row.expected);
        if (row.sibling == Sibling::kEnded) {
            waitpid(sibling, nullptr, 0);
        }
    }
}

}  // namespace
}  // namespace paagent
