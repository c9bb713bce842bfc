// Environment and utility functions: homes, interfaces path, version text, user name and
// the password prompt (run in child processes with and without a terminal).
#include <agentclient/pa.h>

#include "support/log_capture.h"
#include "support/tracking_hooks.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int kWaitMs = 10000;

// Restores an environment variable to what it was when the guard was made.
class EnvGuard {
public:
    explicit EnvGuard(const char *name) : name_(name)
    {
        if (const char *value = std::getenv(name)) {
            saved_  = value;
            wasSet_ = true;
        }
    }
    ~EnvGuard()
    {
        if (wasSet_) {
            setenv(name_, saved_.c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

private:
    const char *name_;
    std::string saved_;
    bool wasSet_ = false;
};

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "agentclient-XXXXXX").string();
        path_               = mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
};

TEST(Environment, HomesFollowTheEnvironmentAtEveryCall)
{
    EnvGuard kovaGuard("KOVAHOME");
    EnvGuard vtGuard("VTHOME");
    unsetenv("KOVAHOME");
    unsetenv("VTHOME");
    EXPECT_STREQ(PaGetKovahome(), "Program Files\\Quorvex\\Vintrel\\Corvane");
    EXPECT_STREQ(PaGetVthome(), "Program Files\\Quorvex\\Vintrel");
    setenv("KOVAHOME", "/opt/corvane", 1);
    setenv("VTHOME", "/opt/vintrel", 1);
    EXPECT_STREQ(PaGetKovahome(), "/opt/corvane");
    EXPECT_STREQ(PaGetVthome(), "/opt/vintrel");
    setenv("KOVAHOME", "/srv/other", 1);
    EXPECT_STREQ(PaGetKovahome(), "/srv/other");
    EXPECT_STREQ(PaGetArch(), "linux");
}

TEST(Environment, InterfacesPathFitsOrIsRefused)
{
    EnvGuard vtGuard("VTHOME");
    setenv("VTHOME", "/opt/vintrel", 1);
    const std::string expected = "/opt/vintrel/interfaces";
    char buffer[64];
    EXPECT_EQ(PaGetInterfacesFilePath(buffer, sizeof buffer), static_cast<int32_t>(expected.size()));
    EXPECT_EQ(buffer, expected);
    EXPECT_EQ(PaGetInterfacesFilePath(buffer, expected.size() + 1), static_cast<int32_t>(expected.size()));
    EXPECT_EQ(PaGetInterfacesFilePath(buffer, expected.size()), -1);
    EXPECT_EQ(PaGetInterfacesFilePath(nullptr, 64), -1);
}

TEST(Environment, VersionTextComesFromTheCatalogOnceThereIsOne)
{
    EnvGuard vtGuard("VTHOME");
    TempDir home;
    setenv("VTHOME", std::string(PATH_MAX, 'v').c_str(), 1);
    EXPECT_STREQ(PaGetVersionString(), "PA API Library");

    setenv("VTHOME", home.path().c_str(), 1);
    EXPECT_STREQ(PaGetVersionString(), "PA API Library");

    fs::path locale = home.path() / "locales" / PaGetArch();
    fs::create_directories(locale);
    std::ofstream(home.path() / "messages.msg") << "$set 4\n1 Corvane PA API 9.1.0\n$set 5\n1 other\n";
    std::string command =
        "gencat " + (locale / "messages.cat").string() + " " + (home.path() / "messages.msg").string();
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_STREQ(PaGetVersionString(), "Corvane PA API 9.1.0");
    EXPECT_EQ(PaGetVersionString(), PaGetVersionString());
}

TEST(Environment, UserNameIsTheEffectiveUsersCopy)
{
    TrackingHooks hooks;
    char *name = PaGetSystemUserName();
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, getpwuid(geteuid())->pw_name);
    PaFree(name);
    EXPECT_GT(hooks.allocs + hooks.strdups, 0u);
    EXPECT_EQ(hooks.liveBlocks(), 0u);
    EXPECT_EQ(hooks.foreignFrees, 0u);

    LogCapture log(PaMSG_FATAL_ERROR + 1);
    hooks.fail = true;
    EXPECT_EQ(PaGetSystemUserName(), nullptr);
    EXPECT_EQ(hooks.liveBlocks(), 0u);
}

// Reads from fd until text ends with needle, the peer closes, or the wait runs out.
std::string ReadUntil(int fd, const std::string &needle)
{
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (needle.empty() || text.find(needle) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char chunk[256];
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) {
            break;
        }
        text.append(chunk, static_cast<size_t>(got));
    }
    return text;
}

// What a child process saw of PaPromptPassword.
struct PromptOutcome {
    std::string password;  // "<null>" when none was returned
    std::string prompt;    // what appeared on standard error
    bool echoRestored = false;
};

// Runs PaPromptPassword in a child without a controlling terminal, its standard input fed
// with input.
PromptOutcome PromptWithoutTerminal(const std::string &input)
{
    int in[2], err[2], out[2];
    if (pipe(in) != 0 || pipe(err) != 0 || pipe(out) != 0) {
        return {};
    }
    pid_t child = fork();
    if (child == 0) {
        setsid();
        dup2(in[0], STDIN_FILENO);
        dup2(err[1], STDERR_FILENO);
        close(in[1]);
        char *password     = PaPromptPassword();
        std::string result = password != nullptr ? password : "<null>";
        (void)!write(out[1], result.data(), result.size());
        _exit(0);
    }
    close(in[0]);
    close(err[1]);
    close(out[1]);
    (void)!write(in[1], input.data(), input.size());
    close(in[1]);
    PromptOutcome outcome;
    outcome.password = ReadUntil(out[0], "");
    outcome.prompt   = ReadUntil(err[0], "");
    close(out[0]);
    close(err[0]);
    waitpid(child, nullptr, 0);
    return outcome;
}

TEST(PasswordPrompt, ReadsOneLineFromStandardInputWithoutATerminal)
{
    PromptOutcome typed = PromptWithoutTerminal("s3cret word\nnext line\n");
    EXPECT_EQ(typed.password, "s3cret word");
    EXPECT_EQ(typed.prompt, "Password: ");
    EXPECT_EQ(PromptWithoutTerminal("unterminated").password, "unterminated");
}

TEST(PasswordPrompt, EndOfInputGivesANewEmptyText) { EXPECT_EQ(PromptWithoutTerminal("").password, ""); }

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
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);  // the prompt must read the terminal, not standard input
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
    const std::string typed = "hunter2\n";
    ASSERT_EQ(write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    std::string result = ReadUntil(out[0], "");
    screen += ReadUntil(master, "\n");
    waitpid(child, nullptr, 0);
    close(out[0]);
    close(master);
    EXPECT_EQ(result, "hunter2|echo");
    EXPECT_EQ(screen.find("hunter2"), std::string::npos) << screen;
}

TEST(Utilities, HidingTheCommandLinePasswordDoesNothing)
{
    LogCapture log;
    PaHideCmdlinePassword();
    EXPECT_TRUE(log.messages().empty());
}

}  // namespace
