// The files the agent writes are its own whatever the umask, a process's log is never opened
// through a symbolic link, a users file others may write is refused, and so is a peers file
// its group or others may read or write.
#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

#include "agent_fixture.h"
#include "core/config_file.h"
#include "core/peers.h"
#include "core/users.h"

namespace {

using namespace paagent;
using namespace paagent::testing;
namespace fs = std::filesystem;

// Sets the umask while it lives.
class Umask {
public:
    explicit Umask(mode_t mask) : previous_(umask(mask)) {}
    ~Umask() { umask(previous_); }
    Umask(const Umask &)            = delete;
    Umask &operator=(const Umask &) = delete;

private:
    mode_t previous_;
};

mode_t ModeOf(const fs::path &path)
{
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

struct ModeCase {
    const char *what;
    mode_t umask;
};

const std::vector<ModeCase> kUmasks = {{"umask 000", 0}, {"umask 022", 022}, {"umask 077", 077}};

TEST(AgentFiles, TheConfigurationIsItsOwnersAloneWhateverTheUmask)
{
    for (const auto &test : kUmasks) {
        SCOPED_TRACE(test.what);
        TempDir home;
        Umask mask(test.umask);
        save_config(home.path() / "pa.cfg", {});
        EXPECT_EQ(ModeOf(home.path() / "pa.cfg"), 0600u);
    }
}

TEST(AgentFiles, ProcessLogsAreTheAgentsOwnWhateverTheUmask)
{
    for (const auto &test : kUmasks) {
        SCOPED_TRACE(test.what);
        TempDir home;
        Umask mask(test.umask);
        Agent agent(OptionsLoggingTo(home.path()));
        agent.start_process(MakeProcess("writer", "exit 0"), 10);
        EXPECT_EQ(ModeOf(home.path() / "logs"), 0700u);
        EXPECT_EQ(ModeOf(home.path() / "logs" / "writer.log"), 0600u);
    }
}

TEST(AgentFiles, AProcessLogIsNeverOpenedThroughASymbolicLink)
{
    TempDir home;
    fs::create_directories(home.path() / "logs");
    const fs::path outside = home.path() / "outside";
    std::ofstream(outside).flush();
    fs::create_symlink(outside, home.path() / "logs" / "leaky.log");
    Agent agent(OptionsLoggingTo(home.path()));

    EXPECT_THROW(agent.start_process(MakeProcess("leaky", "echo leaked"), 10), AgentError);
    EXPECT_EQ(fs::file_size(outside), 0u);
    EXPECT_EQ(agent.process_status("leaky", "node1").state, ProcessState::Failed);
}

struct UsersCase {
    const char *what;
    mode_t mode;
    bool accepted;
};

TEST(AgentFiles, AUsersFileOthersMayWriteIsRefused)
{
    const std::vector<UsersCase> cases = {
        {"owner only", 0600, true},
        {"readable by all", 0644, true},
        {"writable by others", 0646, false},
        {"writable by all", 0666, false},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.what);
        TempDir home;
        const fs::path users = home.path() / "users";
        std::ofstream(users) << "operator:" << hash_password("secret") << "\n";
        fs::permissions(users, static_cast<fs::perms>(test.mode));
        if (test.accepted) {
            EXPECT_TRUE(Users::load(users).check("operator", "secret"));
        } else {
            EXPECT_THROW(Users::load(users), std::runtime_error);
        }
    }
}

struct PeersCase {
    mode_t mode;
    const char *text;
    const char *refusal;  // none when the file is accepted
};

TEST(AgentFiles, APeersFileIsItsOwnersAloneAndWellFormed)
{
    const std::vector<PeersCase> cases = {
        {0600, "# peers\nPA_B:op:pass:with:colons\n\nPA_C:op:\n", nullptr},
        {0640, "PA_B:op:pass\n", "may be read or written by its group or others"},
        {0604, "PA_B:op:pass\n", "may be read or written by its group or others"},
        {0600, "PA_B:op:pass\nPA_C:op\n", "peers:2: expected server:user:password"},
        {0600, "PA_B::pass\n", "peers:1: expected server:user:password"},
        {0600, "PA_B:op:a\nPA_B:op:b\n", "peers:2: server PA_B is listed twice"},
    };
    for (const auto &test : cases) {
        SCOPED_TRACE(test.text);
        TempDir home;
        const fs::path peers = home.path() / "peers";
        std::ofstream(peers) << test.text;
        fs::permissions(peers, static_cast<fs::perms>(test.mode));
        try {
            const auto logins = load_peers(peers);
            EXPECT_EQ(test.refusal, nullptr);
            EXPECT_EQ(logins.at("PA_B").password, "pass:with:colons");
            EXPECT_EQ(logins.size(), 2u);
        } catch (const std::runtime_error &error) {
            ASSERT_NE(test.refusal, nullptr) << error.what();
            EXPECT_NE(std::string(error.what()).find(test.refusal), std::string::npos) << error.what();
            EXPECT_NE(std::string(error.what()).find(peers.string()), std::string::npos) << error.what();
        }
    }
}

}  // namespace
