// Environment and utility functions: the interfaces path and the password prompt on a terminal.
#include <agentclient/pa.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

TEST(Environment, InterfacesPathFitsOrIsRefused)
{
    const char *saved = std::getenv("VTHOME");
    std::string old   = saved != nullptr ? saved : "";
    setenv("VTHOME", "/opt/vintrel", 1);
    const std::string expected = "/opt/vintrel/interfaces";
    char buffer[64];
    EXPECT_EQ(PaGetInterfacesFilePath(buffer, expected.size() + 1), static_cast<int32_t>(expected.size()));
    EXPECT_EQ(buffer, expected);
    EXPECT_EQ(PaGetInterfacesFilePath(buffer, expected.size()), -1);
    EXPECT_EQ(PaGetInterfacesFilePath(nullptr, 64), -1);
    saved != nullptr ? setenv("VTHOME", old.c_str(), 1) : unsetenv("VTHOME");
}

// Reads from fd until text holds needle, the peer closes, or ten seconds pass without data.
std::string ReadUntil(int fd, const std::string &needle)
{
    std::string text;
    char chunk[256];
    pollfd p{fd, POLLIN, 0};
    while ((needle.empty() || text.find(needle) == std::string::npos) && poll(&p, 1, 10000) > 0) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) {
            break;
        }
        text.append(chunk, static_cast<size_t>(got));
    }
    return text;
}

TEST(PasswordPrompt, TerminalInputIsNotEchoedAndEchoIsRestored)
{
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t child = fork();
    if (child == 0) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        close(master);
        dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);  // the prompt must read the terminal
        char *password = PaPromptPassword();
        termios after{};
        tcgetattr(slave, &after);
        std::string result = std::string(password != nullptr ? password : "<null>") + "|" +
                             ((after.c_lflag & ECHO) != 0 ? "echo" : "silent");
        (void)!write(out[1], result.data(), result.size());
        _exit(0);
    }
    close(slave);
    close(out[1]);
    std::string screen = ReadUntil(master, "Password: ");
    ASSERT_NE(screen.find("Password: "), std::string::npos) << screen;
    ASSERT_EQ(write(master, "hunter2\n", 8), 8);
    std::string result = ReadUntil(out[0], "");
    screen += ReadUntil(master, "\n");
    waitpid(child, nullptr, 0);
    close(out[0]);
    close(master);
    EXPECT_EQ(result, "hunter2|echo");
    EXPECT_EQ(screen.find("hunter2"), std::string::npos) << screen;
}

}  // namespace
