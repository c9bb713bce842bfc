// Connection failures through FreeTDS: a refused port, the inform path, the secure login a
// Client-Library without challenge support cannot make, and the debug switch it lacks.
#include <agentclient/pa.h>

#include "support/log_capture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

using testing::Contains;
using testing::HasSubstr;

namespace fs = std::filesystem;

namespace {

constexpr const char *kServer = "PA_CLOSED";

// A loopback port that refuses connections: bound, never listening, held for the test.
class RefusingPort {
public:
    RefusingPort()
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family      = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length        = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    ~RefusingPort() { close(fd_); }
    int port() const { return port_; }

private:
    int fd_   = -1;
    int port_ = 0;
};

// A product-family home with an interfaces entry for the refusing port. Client-Library reads
// the home once per process, so one environment serves every test.
class FreeTdsEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "agentclient-freetds-XXXXXX").string();
        home_               = mkdtemp(pattern.data());
        std::ofstream(home_ / "interfaces") << kServer << "\n\tquery tcp 5.0 127.0.0.1 " << port_.port() << "\n";
        setenv("VTHOME", home_.c_str(), 1);
        setenv("HOME", home_.c_str(), 1);  // no ~/.interfaces or ~/.freetds.conf of the user
        unsetenv("FREETDSCONF");
    }
    void TearDown() override { fs::remove_all(home_); }
    int port() const { return port_.port(); }

private:
    RefusingPort port_;
    fs::path home_;
};

FreeTdsEnvironment *environment =
    static_cast<FreeTdsEnvironment *>(testing::AddGlobalTestEnvironment(new FreeTdsEnvironment));

TEST(FreeTds, RefusedConnectionIsANetworkError)
{
    ASSERT_NE(environment->port(), 0);
    LogCapture log(PaMSG_ERROR);
    PaConnection *handle = PaConnectCreate(kServer, "freetds-test", "operator", "secret");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(PaServerGetLastError(handle), PaNO_ERROR);
    EXPECT_EQ(PaConnect(handle), PaCONNECT_FAILED);
    EXPECT_THAT(log.texts(), Contains("Failed to make a connection to PA_CLOSED."));
    EXPECT_EQ(PaServerGetLastError(handle), PaNETWORK_ERROR);
    EXPECT_EQ(PaConnectValidAndOpen(handle), PaFAILURE);
    EXPECT_EQ(PaDisconnect(handle, 1), PaFAILURE);

    // A failed connect leaves the handle usable: reconnecting tries afresh and fails alike.
    log.clear();
    EXPECT_EQ(PaReconnect(handle), PaCONNECT_FAILED);
    EXPECT_THAT(log.texts(), Contains("Unable to re-establish connection to server PA_CLOSED"));
    for (const auto &text : log.texts()) {
        EXPECT_THAT(text, testing::Not(HasSubstr("secret")));
    }
    EXPECT_EQ(PaConnectDestroy(handle), PaSUCCESS);
}

TEST(FreeTds, InformToAnUnreachableAgentFailsToConnect)
{
    LogCapture log(PaMSG_ERROR);
    EXPECT_EQ(PaInformPA(kServer, 4242, 7), PaCONNECT_FAILED);
    EXPECT_THAT(log.texts(), Contains("Failed to connection to the specified PA Server."));
}

TEST(FreeTds, SecureLoginWithoutChallengeSupportFailsBeforeConnecting)
{
    LogCapture log(PaMSG_ERROR);
    PaConnection *handle = PaSecureConnectCreate(kServer, "freetds-test", "operator", "secret");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(PaConnect(handle), PaCONNECT_FAILED);
    EXPECT_THAT(log.texts(), testing::ElementsAre("Failed to set callback for secure login challenge."));
    // Nothing reached the network, so no client message was recorded.
    EXPECT_EQ(PaServerGetLastError(handle), PaNO_ERROR);
    PaConnectDestroy(handle);
}

TEST(FreeTds, DebugSwitchIsMissing)
{
    LogCapture log(PaMSG_ERROR);
    PaConnection *handle = PaConnectCreate(kServer, "freetds-test", "operator", "secret");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(PaInstallDevLibDebug(handle), PaFAILURE);
    EXPECT_THAT(log.texts(), testing::ElementsAre("Failed to start the sybase library debug support."));
    PaConnectDestroy(handle);
}

}  // namespace
