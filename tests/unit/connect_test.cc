// Handle creation with its Client-Library context, the login of a connection (plain and
// secure, with the challenge answered by the secure-login library), and destruction.
#include "support/client_fixture.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <unistd.h>

using namespace client;
using fakect::agent;
using testing::AllOf;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::StartsWith;

namespace {

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const std::string &value)
        : name_(name), old_(std::getenv(name) ? std::make_optional<std::string>(std::getenv(name)) : std::nullopt)
    {
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

private:
    const char *name_;
    std::optional<std::string> old_;
};

std::string HostName()
{
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

// A release hook that looks at one block before passing it on.
namespace watch {
const char *block = nullptr;
bool wiped        = false;
PaFreeFunc next   = nullptr;
void Free(void *released)
{
    if (released == block) {
        wiped = std::string_view(block, std::strlen(kPassword)).find_first_not_of('\0') == std::string_view::npos;
    }
    next(released);
}
}  // namespace watch

using ConnectTest = ClientTest;

TEST_F(ConnectTest, ReservedUserNeedsExactlyTheInformApplication)
{
    struct Case {
        const char *app;
        const char *user;
        bool made;
    } cases[] = {{"PAKitNotify", "vexamund", true},  {"monitor", "vexamund", false},
                 {"pakitnotify", "vexamund", false}, {"PAKitNotify ", "vexamund", false},
                 {"monitor", "Vexamund", true},      {"monitor", "fred", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.app) + "/" + c.user);
        agent().Reset();
        log.clear();
        PaConnection *made = PaConnectCreate(kServer, c.app, c.user, kPassword);
        EXPECT_EQ(made != nullptr, c.made);
        EXPECT_EQ(agent().Log({"cs_ctx_alloc"}).size(), c.made ? 1u : 0u);
        EXPECT_EQ(Count(Errors(), "Failed to make a connection to agent1."), c.made ? 0 : 1);
        PaConnectDestroy(made);
        EXPECT_THAT(agent().Leaks(), IsEmpty());
    }
}

TEST_F(ConnectTest, NullCreatorArgumentsYieldNoHandle)
{
    for (size_t missing = 0; missing < 4; ++missing) {
        SCOPED_TRACE(missing);
        std::array<const char *, 4> args{kServer, kApp, kUser, kPassword};
        args[missing] = nullptr;
        log.clear();
        EXPECT_EQ(PaConnectCreate(args[0], args[1], args[2], args[3]), nullptr);
        EXPECT_EQ(Errors().size(), missing == 0 ? 0u : 1u);
    }
    EXPECT_THAT(agent().Log(), IsEmpty());
}

TEST_F(ConnectTest, CreatorsDifferOnlyInVersionAndSecureFlag)
{
    ScopedEnv home("VTHOME", "/opt/vintrel");
    struct Case {
        PaConnection *(*create)(const char *, const char *, const char *, const char *);
        std::string version;
        const char *versionLine;
        int32_t secure;
    } cases[] = {{PaConnectCreate, "CS_VERSION_150", "Using Sybase 15.0.", 0},
                 {PaSecureConnectCreate, "CS_VERSION_150", "Using Sybase 15.0.", 1},
                 {PaConnectCreateSybase10, "CS_VERSION_100", "Using Sybase 10.x.", 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.versionLine);
        agent().Reset();
        log.clear();
        PaConnection *made = c.create(kServer, kApp, kUser, kPassword);
        ASSERT_NE(made, nullptr);
        EXPECT_THAT(agent().Log(), ElementsAre("cs_ctx_alloc(" + c.version + ")", "ct_init(" + c.version + ")",
                                               "ct_callback(ctx, NULL, CS_SET, CS_CLIENTMSG_CB)",
                                               "ct_callback(ctx, NULL, CS_SET, CS_SERVERMSG_CB)",
                                               "ct_config(CS_SET, CS_IFILE, \"/opt/vintrel/interfaces\", CS_NULLTERM)",
                                               "ct_config(CS_SET, CS_TIMEOUT, 30, CS_UNUSED)"));
        EXPECT_THAT(log.texts(),
                    ElementsAre(c.versionLine, "Allocating a context structure.", "Initialising the CT Library",
                                "Installing Client and Server Callbacks.", "Set Interfaces file location property."));
        EXPECT_STREQ(made->serverName, kServer);
        EXPECT_STREQ(made->appName, kApp);
        EXPECT_STREQ(made->userName, kUser);
        EXPECT_STREQ(made->password, kPassword);
        EXPECT_NE(made->password, kPassword);
        EXPECT_EQ(made->secureLogin, c.secure);
        EXPECT_EQ(made->context, agent().LastContext());
        EXPECT_EQ(made->connection, nullptr);
        EXPECT_EQ(made->retryFunc, nullptr);
        EXPECT_EQ(made->notificationFunc, nullptr);
        EXPECT_EQ(made->lastClientMsgNumber + made->advancedDiag + made->busy + made->internalMode, 0);
        agent().ClearLog();
        PaConnectDestroy(made);
        EXPECT_THAT(agent().Log(), ElementsAre("ct_exit(CS_FORCE_EXIT)", "cs_ctx_drop()"));
    }
}

TEST_F(ConnectTest, SybaseIsSetOnlyByTheFirstCreationInAProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            bool same = true;
            for (const char *home : {"/first/home", "/second/home"}) {
                ScopedEnv vthome("VTHOME", home);
                PaConnection *made = PaConnectCreate(kServer, kApp, kUser, kPassword);
                const char *sybase = std::getenv("SYBASE");
                same = same && made != nullptr && sybase != nullptr && std::string(sybase) == "/first/home";
                PaConnectDestroy(made);
            }
            std::exit(same && agent().Log({"cs_ctx_alloc"}).size() == 2 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// The installation's freetds.conf is where encrypted logins are asked for; a configuration
// file the caller chose wins.
TEST_F(ConnectTest, FreetdsConfOfTheInstallationIsUsedUnlessTheCallerChoseOne)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::filesystem::path home = testing::TempDir() + "connect_test_vthome_" + std::to_string(getpid());
    std::string conf           = (home / "freetds.conf").string();
    struct Case {
        bool exists;
        const char *chosen;
        std::string expected;
    } cases[] = {{true, nullptr, conf}, {true, "/chosen/freetds.conf", "/chosen/freetds.conf"}, {false, nullptr, ""}};
    std::filesystem::create_directories(home);
    for (const Case &c : cases) {
        std::filesystem::remove(conf);
        if (c.exists) {
            std::ofstream(conf) << "[global]\n";
        }
        EXPECT_EXIT(
            {
                setenv("VTHOME", home.c_str(), 1);
                c.chosen != nullptr ? setenv("FREETDSCONF", c.chosen, 1) : unsetenv("FREETDSCONF");
                PaConnectDestroy(PaConnectCreate(kServer, kApp, kUser, kPassword));
                const char *used = std::getenv("FREETDSCONF");
                std::exit(std::string(used != nullptr ? used : "") == c.expected ? 0 : 1);
            },
            testing::ExitedWithCode(0), "")
            << "freetds.conf " << (c.exists ? "present" : "absent") << ", FREETDSCONF "
            << (c.chosen != nullptr ? c.chosen : "unset");
    }
    std::filesystem::remove_all(home);
}

TEST_F(ConnectTest, EachContextStepThatFailsLeavesNothingBehind)
{
    struct Case {
        const char *call;
        std::optional<CS_INT> key;
        const char *message;
        std::vector<std::string> teardown;
    } cases[] = {
        {"cs_ctx_alloc", {}, "Failed to allocate server context structure.", {}},
        {"ct_init", {}, "Failed to Initialise Open Server.", {"cs_ctx_drop()"}},
        {"ct_callback",
         CS_CLIENTMSG_CB,
         "Failed to install the Client Message Handler.",
         {"ct_exit(CS_FORCE_EXIT)", "cs_ctx_drop()"}},
        {"ct_callback",
         CS_SERVERMSG_CB,
         "Failed to install the Server Message Handler.",
         {"ct_exit(CS_FORCE_EXIT)", "cs_ctx_drop()"}},
        {"ct_config", CS_IFILE, "Failed to set interfaces file location", {"ct_exit(CS_FORCE_EXIT)", "cs_ctx_drop()"}},
        {"ct_config",
         CS_TIMEOUT,
         "Failed to set the results time-out setting.",
         {"ct_exit(CS_FORCE_EXIT)", "cs_ctx_drop()"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        agent().Reset();
        log.clear();
        fakect::Injection &injection = agent().On(c.call).Returns(CS_FAIL);
        if (c.key) {
            injection.OnlyFor(*c.key);
        }
        EXPECT_EQ(Create(), nullptr);
        EXPECT_THAT(Errors(), ElementsAre(c.message));
        EXPECT_EQ(agent().Log({"ct_exit", "cs_ctx_drop"}), c.teardown);
        EXPECT_THAT(agent().Leaks(), IsEmpty());
    }
}

TEST_F(ConnectTest, InterfacesPathMustFitIn260Bytes)
{
    {
        ScopedEnv home("VTHOME", "/" + std::string(247, 'v'));  // 259 characters with "/interfaces"
        ASSERT_NE(Create(), nullptr);
        PaConnectDestroy(handle);
    }
    ScopedEnv home("VTHOME", "/" + std::string(248, 'v'));
    Forget();
    EXPECT_EQ(Create(), nullptr);
    EXPECT_THAT(Errors(), ElementsAre("Failed to set interfaces file location"));
    EXPECT_THAT(agent().Log({"ct_config", "ct_exit", "cs_ctx_drop"}),
                ElementsAre("ct_exit(CS_FORCE_EXIT)", "cs_ctx_drop()"));
}

TEST_F(ConnectTest, LoginCarriesTheCredentialsOrThePlaceholdersOfASecureLogin)
{
    for (bool secure : {false, true}) {
        SCOPED_TRACE(secure);
        agent().Reset();
        handle = secure ? PaSecureConnectCreate(kServer, kApp, kUser, kPassword) : Create();
        ASSERT_EQ(PaSetResultsTimeOut(handle, 7), PaSUCCESS);
        Forget();
        agent().On("ct_connect").Returns(CS_SUCCEED);  // no challenge: the library is not installed here
        ASSERT_EQ(PaConnect(handle), PaSUCCESS);
        CS_CONNECTION *connection = handle->connection;
        EXPECT_EQ(agent().Property(connection, CS_USERNAME), secure ? "secure-login" : kUser);
        EXPECT_EQ(agent().Property(connection, CS_PASSWORD), secure ? "lunar-pebble" : kPassword);
        EXPECT_EQ(agent().Property(connection, CS_APPNAME), "monitor");
        EXPECT_EQ(agent().Property(connection, CS_HOSTNAME), HostName());
        EXPECT_EQ(agent().Property(connection, CS_USERDATA),
                  std::string(reinterpret_cast<const char *>(&handle), sizeof handle));
        EXPECT_EQ(agent().IntProperty(connection, CS_TDS_VERSION), CS_TDS_50);
        EXPECT_EQ(agent().IntProperty(connection, CS_LOGIN_TIMEOUT), 7);
        EXPECT_EQ(agent().IntProperty(connection, CS_SEC_CHALLENGE).has_value(), secure);
        PaConnectDestroy(handle);
        handle = nullptr;
        EXPECT_THAT(agent().Leaks(), IsEmpty());
    }
}

TEST_F(ConnectTest, EachRefusedLoginStepDropsTheConnectionAndLeavesTheHandleReusable)
{
    struct Case {
        const char *call;
        std::optional<CS_INT> key;
        std::optional<CS_INT> action;
        bool secure;
        std::vector<std::string> errors;
    } cases[] = {
        {"ct_con_alloc", {}, {}, false, {"Failed to allocate connection structure."}},
        {"ct_con_props", CS_SEC_CHALLENGE, CS_SET, true, {"Failed to set security challenge connection property."}},
        {"ct_callback", CS_CHALLENGE_CB, CS_SET, true, {"Failed to set callback for secure login challenge."}},
        {"ct_callback", CS_CHALLENGE_CB, CS_GET, true, {"Failed to set callback for secure login challenge."}},
        {"ct_con_props", CS_USERNAME, CS_SET, false, {"Failed to set user name connection property."}},
        {"ct_con_props", CS_PASSWORD, CS_SET, false, {"Failed to set password connection property."}},
        {"ct_con_props", CS_APPNAME, CS_SET, false, {"Failed to set application name connection property."}},
        {"ct_con_props", CS_HOSTNAME, CS_SET, false, {"Failed to set host name connection property."}},
        {"ct_con_props", CS_USERDATA, CS_SET, false, {"Failed to install notification callback user data."}},
        {"ct_con_props", CS_DIAG_TIMEOUT, CS_SET, false, {"Failed to set the CS_DIAG_TIMEOUT connection prop."}},
        {"ct_connect", {}, {}, false, {"Failed to make a connection to agent1."}},
        // Inside the challenge: the handle cannot be found, so the login fails.
        {"ct_con_props",
         CS_USERDATA,
         CS_GET,
         true,
         {"Failed to retrieve user data.", "Failed to make a connection to agent1."}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.errors.front() + " " + c.call);
        agent().Reset();
        handle = c.secure ? PaSecureConnectCreate(kServer, kApp, kUser, kPassword) : Create();
        Forget();
        fakect::Injection &injection = agent().On(c.call).Returns(CS_FAIL);
        if (c.key) {
            injection.OnlyFor(*c.key);
        }
        if (c.action) {
            injection.OnlyAction(*c.action);
        }
        EXPECT_EQ(PaConnect(handle), PaCONNECT_FAILED);
        EXPECT_EQ(Errors(), c.errors);
        EXPECT_EQ(handle->connection, nullptr);
        bool allocated = std::string(c.call) != "ct_con_alloc";
        EXPECT_EQ(agent().Log({"ct_con_drop"}).size(), allocated ? 1u : 0u);
        bool connected = c.errors.back() == "Failed to make a connection to agent1.";
        EXPECT_EQ(agent().Log({"ct_connect"}).size(), connected ? 1u : 0u);
        EXPECT_THAT(agent().Leaks(), ElementsAre("context #1 not dropped"));

        agent().ClearLog();
        agent().On("ct_connect").Returns(CS_SUCCEED);
        EXPECT_EQ(PaConnect(handle), PaSUCCESS);
        EXPECT_EQ(agent().Log().front(), "ct_con_alloc()");
        PaConnectDestroy(handle);
        handle = nullptr;
        EXPECT_THAT(agent().Leaks(), IsEmpty());
    }
}

TEST_F(ConnectTest, PasswordIsWipedBeforeItIsReleased)
{
    Connect();
    watch::block = handle->password;
    watch::next  = PaMemoryGetFree();
    PaMemorySetFree(&watch::Free);
    PaConnectDestroy(handle);
    handle = nullptr;
    PaMemorySetFree(watch::next);
    EXPECT_TRUE(watch::wiped);
}

TEST_F(ConnectTest, RefusedProtocolVersionStillConnects)
{
    ASSERT_NE(Create(), nullptr);
    agent().On("ct_con_props").OnlyFor(CS_TDS_VERSION).Returns(CS_FAIL);
    EXPECT_EQ(PaConnect(handle), PaSUCCESS);
    EXPECT_THAT(Errors(), IsEmpty());
}

TEST_F(ConnectTest, SecondConnectReplacesTheFirstConnection)
{
    Connect();
    CS_CONNECTION *first = handle->connection;
    ASSERT_EQ(PaConnect(handle), PaSUCCESS);
    EXPECT_NE(handle->connection, first);
    std::vector<std::string> calls = agent().Log();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_THAT(std::vector(calls.begin(), calls.begin() + 3),
                ElementsAre("ct_close(CS_FORCE_CLOSE)", "ct_con_drop()", "ct_con_alloc()"));
}

TEST_F(ConnectTest, DestroyClosesAndDropsAnOpenConnection)
{
    Connect();
    EXPECT_EQ(PaConnectDestroy(handle), PaSUCCESS);
    handle = nullptr;
    EXPECT_THAT(agent().Log(),
                ElementsAre("ct_close(CS_FORCE_CLOSE)", "ct_con_drop()", "ct_exit(CS_FORCE_EXIT)", "cs_ctx_drop()"));
}

TEST_F(ConnectTest, FreeTdsLikeLibraryThatForgetsTheChallengeCallbackRefusesSecureLogin)
{
    agent().behaviour.challengeCallbackStored = false;
    handle                                    = PaSecureConnectCreate(kServer, kApp, kUser, kPassword);
    EXPECT_EQ(PaConnect(handle), PaCONNECT_FAILED);
    EXPECT_THAT(Errors(), ElementsAre("Failed to set callback for secure login challenge."));
    EXPECT_THAT(agent().Log({"ct_connect"}), IsEmpty());
    EXPECT_THAT(agent().Log({"ct_con_props"}),
                ElementsAre("ct_con_props(CS_SET, CS_SEC_CHALLENGE, CS_TRUE, CS_UNUSED)"));
}

// The only test that loads the secure-login library: once loaded it stays for the process.
TEST_F(ConnectTest, ChallengeIsAnsweredOnceTheSecureLoginLibraryIsInstalled)
{
    namespace fs             = std::filesystem;
    const fs::path installed = fs::path(AUTHGATE_RUNTIME_DIR) / "libauthgate.so.1";
    fs::remove(installed);
    struct Uninstall {
        const fs::path &path;
        ~Uninstall() { fs::remove(path); }
    } uninstall{installed};
    handle = PaSecureConnectCreate(kServer, kApp, kUser, kPassword);
    Forget();
    EXPECT_EQ(PaConnect(handle), PaCONNECT_FAILED);
    EXPECT_THAT(Errors(),
                ElementsAre(AllOf(StartsWith("Failed to load the secure login function KovaSecureLoginSendLogin: "),
                                  HasSubstr("libauthgate.so.1")),
                            "Failed to make a connection to agent1."));

    fs::copy_file(AUTHGATE_LIBRARY, installed);
    Forget();
    ASSERT_EQ(PaConnect(handle), PaSUCCESS);
    EXPECT_THAT(Errors(), IsEmpty());
    ASSERT_EQ(agent().Challenges().size(), 2u);
    const fakect::ChallengeCall &answer = agent().Challenges()[1];
    EXPECT_EQ(answer.result, CS_SUCCEED);
    EXPECT_EQ(answer.sendId, 2);
    EXPECT_EQ(answer.output, std::string(kUser) + ":" + kPassword + ":1");
    EXPECT_EQ(agent().Property(handle->connection, CS_USERNAME), "secure-login");
    EXPECT_EQ(agent().Property(handle->connection, CS_PASSWORD), "lunar-pebble");
}

}  // namespace

TEST_F(ConnectTest, ALoginRefusedOnlyByTheAgentsMessageIsAGeneralError)
{
    ASSERT_NE(Create(), nullptr);
    agent().On("ct_connect").Raises(fakect::ServerMessage(4002, 14, 1, "Login failed.")).Returns(CS_FAIL);
    EXPECT_EQ(PaConnect(handle), PaCONNECT_FAILED);
    EXPECT_EQ(PaServerGetLastError(handle), PaGENERAL_ERROR);
    PaServerMessage message{};
    ASSERT_EQ(PaServerGetLastMessage(handle, &message), PaSUCCESS);
    EXPECT_STREQ(message.text, "Login failed.");
}
