// Handles and their connection over the scripted Client-Library: the installation's
// configuration, a refused login, the message handlers' classification, and the connection state
// bits behind reconnection.
#include "support/client_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <unistd.h>

using namespace client;
using fakect::ClientMessage;
using fakect::Scripted;
using fakect::ServerMessage;
using testing::IsEmpty;

namespace {

using ConnectTest = ClientTest;

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
            << c.exists << " " << (c.chosen != nullptr ? c.chosen : "unset");
    }
    std::filesystem::remove_all(home);
}

// A home relative to the current directory would be another user's wherever that user may
// write: unset it is absolute, relative it is refused before anything is read from it, though
// the current directory holds settings under that very name.
TEST_F(ConnectTest, NoSettingsAreReadFromTheCurrentDirectory)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::filesystem::path work = testing::TempDir() + "connect_test_cwd_" + std::to_string(getpid());
    struct Case {
        const char *vthome;  // null: unset
        std::string interfaces;
        std::string refusal;  // empty when the handle is created
    } cases[] = {
        {nullptr, "/etc/agentclient/interfaces", ""},
        {"x", "", "VTHOME must be an absolute path, not 'x'."},
        {"", "", "VTHOME must be an absolute path, not ''."},
    };
    for (const Case &c : cases) {
        const std::filesystem::path planted = work / (c.vthome != nullptr ? c.vthome : "");
        std::filesystem::create_directories(planted);
        std::ofstream(planted / "freetds.conf") << "[" << kServer << "]\n\thost = 192.0.2.1\n";
        std::ofstream(planted / "interfaces") << kServer << "\n\tquery tcp 5.0 192.0.2.1 4100\n";
        EXPECT_EXIT(
            {
                c.vthome != nullptr ? setenv("VTHOME", c.vthome, 1) : unsetenv("VTHOME");
                unsetenv("FREETDSCONF");
                if (chdir(work.c_str()) != 0) {
                    std::exit(2);
                }
                char interfaces[64]  = "";
                const bool found     = PaGetInterfacesFilePath(interfaces, sizeof interfaces) > 0;
                PaConnection *handle = PaConnectCreate(kServer, kApp, kUser, kPassword);
                const bool created   = handle != nullptr;
                PaConnectDestroy(handle);
                std::cerr << (found ? interfaces : "") << "|" << (created ? "created" : "refused") << "|"
                          << (std::getenv("FREETDSCONF") != nullptr ? std::getenv("FREETDSCONF") : "") << "|"
                          << testing::PrintToString(log_.Texts(PaMSG_ERROR)) << "\n";
                const bool refused_alone =
                    c.refusal.empty() ? created && log_.Texts(PaMSG_ERROR).empty()
                                      : !created && log_.Texts(PaMSG_ERROR) == std::vector<std::string>{c.refusal};
                // An installed /etc/agentclient/freetds.conf may be used; nothing under the directory.
                const char *conf = std::getenv("FREETDSCONF");
                const bool conf_kept =
                    conf == nullptr || (conf[0] == '/' && std::string(conf).rfind(work.string(), 0) != 0);
                std::exit(interfaces == c.interfaces && refused_alone && conf_kept ? 0 : 1);
            },
            testing::ExitedWithCode(0), "")
            << (c.vthome != nullptr ? c.vthome : "unset");
    }
    std::filesystem::remove_all(work);
}

TEST_F(ConnectTest, ALoginRefusedOnlyByTheAgentsMessageIsAGeneralErrorNotATimeOut)
{
    ASSERT_NE(Create(), nullptr);
    Scripted().On({.call = "ct_connect", .code = CS_FAIL, .raises_server = ServerMessage(4002, 14, "Login failed.")});
    EXPECT_EQ(PaConnect(handle_), PaCONNECT_FAILED);
    EXPECT_EQ(PaServerGetLastError(handle_), PaGENERAL_ERROR);
    EXPECT_FALSE((handle_->last_client_msg_number == kPaTimedOutNumber));
    PaServerMessage message{};
    ASSERT_EQ(PaServerGetLastMessage(handle_, &message), PaSUCCESS);
    EXPECT_STREQ(message.text, "Login failed.");
}

using HandlersTest = ConnectedTest;

constexpr CS_INT Number(int layer, int origin, int severity, int number)
{
    return (layer << 24) | (origin << 16) | (severity << 8) | number;
}

TEST_F(HandlersTest, ClientMessagesAreClassifiedByNumberAndSeverity)
{
    struct Case {
        CS_MSGNUM number;
        CS_INT severity;
        CS_RETCODE result;
        int32_t last_error;
        bool time_out;
    } cases[] = {
        {Number(1, 2, 2, 63), 2, CS_FAIL, PaGENERAL_ERROR, true},
        {Number(5, 3, 1, 63), 1, CS_FAIL, PaNETWORK_ERROR, false},
        {Number(5, 2, 1, 7), 1, CS_SUCCEED, PaGENERAL_ERROR, false},
        {Number(1, 1, 4, 62), 4, CS_SUCCEED, PaGENERAL_ERROR, false},
        {Number(1, 1, 5, 1), 5, CS_FAIL, PaGENERAL_ERROR, false},
        // FreeTDS's own numbers, without layer or origin: its time-out and its communication class.
        {20003, 6, CS_FAIL, PaGENERAL_ERROR, true},
        {20009, 9, CS_FAIL, PaNETWORK_ERROR, false},
        {20012, 2, CS_SUCCEED, PaGENERAL_ERROR, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.number);
        EXPECT_EQ(Scripted().Raise(ClientMessage(c.number, c.severity, "message"), handle_->connection), c.result);
        EXPECT_EQ(PaServerGetLastError(handle_), c.last_error);
        EXPECT_EQ((handle_->last_client_msg_number == kPaTimedOutNumber), c.time_out);
    }
    EXPECT_THAT(log_.Texts(), IsEmpty());
}

using HealthTest = ConnectedTest;

TEST_F(HealthTest, ReconnectKeepsOnlyAnOpenIdleConnection)
{
    struct Case {
        const char *name;
        CS_INT status;
        bool busy;
        const char *failing;  // a call that fails on the way, or null
        bool kept;
    } cases[] = {
        {"open and idle", CS_CONSTAT_CONNECTED, false, nullptr, true},
        {"busy", CS_CONSTAT_CONNECTED, true, nullptr, false},
        {"connected and dead", CS_CONSTAT_CONNECTED | CS_CONSTAT_DEAD, false, nullptr, false},
        {"not connected", 0, false, nullptr, false},
        {"unreadable", CS_CONSTAT_CONNECTED, false, "ct_con_props", false},
        {"busy, cancel fails", CS_CONSTAT_CONNECTED, true, "ct_cancel", false},
        {"busy, close fails", CS_CONSTAT_CONNECTED, true, "ct_close", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CS_CONNECTION *old = handle_->connection;
        Scripted().SetStatus(old, c.status);
        handle_->busy = c.busy ? 1 : 0;
        if (c.failing != nullptr) {
            Scripted().On({.call = c.failing, .code = CS_FAIL});
        }
        EXPECT_EQ(PaReconnect(handle_), PaSUCCESS);
        EXPECT_EQ(handle_->connection == old, c.kept);
        EXPECT_EQ(handle_->busy, 0);
        EXPECT_EQ(PaConnectValidAndOpen(handle_), PaSUCCESS);
    }
}

}  // namespace
