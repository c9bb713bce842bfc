// Connection health: the open check, reconnection, disconnection and what a handle keeps
// across them.
#include "support/client_fixture.h"

#include <optional>

using namespace client;
using fakect::agent;
using testing::ElementsAre;
using testing::IsEmpty;

namespace {

using HealthTest = ConnectedTest;

void Notified() {}

TEST_F(HealthTest, ValidAndOpenNeedsAReadableConnectedStatusWithoutTheDeadBit)
{
    struct Case {
        std::optional<CS_INT> status;  // none: the status cannot be read
        int32_t result;
        std::vector<std::string> errors;
    } cases[] = {
        {std::nullopt, PaFAILURE, {"Failed to retrieve connection status property."}},
        {CS_CONSTAT_DEAD, PaFAILURE, {"Connection marked as dead during vaild, open connection check."}},
        {CS_CONSTAT_CONNECTED | CS_CONSTAT_DEAD,
         PaFAILURE,
         {"Connection marked as dead during vaild, open connection check."}},
        {0, PaFAILURE, {}},
        {CS_CONSTAT_CONNECTED, PaSUCCESS, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.status.value_or(-1));
        log.clear();
        if (c.status) {
            agent().SetStatus(handle->connection, *c.status);
        } else {
            agent().On("ct_con_props").OnlyFor(CS_CON_STATUS).Returns(CS_FAIL);
        }
        EXPECT_EQ(PaConnectValidAndOpen(handle), c.result);
        EXPECT_EQ(Errors(), c.errors);
    }
    ASSERT_EQ(PaDisconnect(handle, 1), PaSUCCESS);
    Forget();
    EXPECT_EQ(PaConnectValidAndOpen(handle), PaFAILURE);
    EXPECT_THAT(agent().Log(), IsEmpty());
    EXPECT_THAT(log.texts(), IsEmpty());
}

TEST_F(HealthTest, ReconnectKeepsAnOpenIdleConnection)
{
    CS_CONNECTION *connection = handle->connection;
    EXPECT_EQ(PaReconnect(handle), PaSUCCESS);
    EXPECT_EQ(handle->connection, connection);
    EXPECT_THAT(Debugs(),
                ElementsAre("Attempting to re-establish connection to server", "Connection already established."));
    EXPECT_THAT(agent().Log(), ElementsAre("ct_con_props(CS_GET, CS_CON_STATUS, CS_UNUSED)"));
}

TEST_F(HealthTest, ReconnectReplacesABusyBrokenOrUnreadableConnection)
{
    const std::vector<std::string> replace{"ct_close(CS_FORCE_CLOSE)", "ct_con_drop()", "ct_con_alloc()"};
    struct Case {
        const char *name;
        CS_INT status;
        bool busy;
        bool unreadable;
        std::vector<std::string> warnings;
        std::vector<std::string> calls;
    } cases[] = {
        {"busy",
         CS_CONSTAT_CONNECTED,
         true,
         false,
         {"Connection found in busy state in RPC call. Closing."},
         {"ct_cancel(conn, NULL, CS_CANCEL_ALL)", "ct_close(CS_FORCE_CLOSE)", "ct_con_drop()", "ct_con_alloc()"}},
        {"connected and dead", CS_CONSTAT_CONNECTED | CS_CONSTAT_DEAD, false, false, {}, replace},
        {"dead", CS_CONSTAT_DEAD, false, false, {}, replace},
        {"not connected", 0, false, false, {}, replace},
        {"unreadable", CS_CONSTAT_CONNECTED, false, true, {"Failed to retrieve connection status."}, replace},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CS_CONNECTION *old = handle->connection;
        agent().SetStatus(old, c.status);
        handle->busy = c.busy ? 1 : 0;
        if (c.unreadable) {
            agent().On("ct_con_props").OnlyFor(CS_CON_STATUS).Returns(CS_FAIL);
        }
        Forget();
        EXPECT_EQ(PaReconnect(handle), PaSUCCESS);
        EXPECT_NE(handle->connection, old);
        EXPECT_EQ(handle->busy, 0);
        EXPECT_EQ(PaConnectValidAndOpen(handle), PaSUCCESS);
        EXPECT_EQ(Warnings(), c.warnings);
        EXPECT_THAT(Errors(), IsEmpty());
        EXPECT_EQ(agent().Log({"ct_cancel", "ct_close", "ct_con_drop", "ct_con_alloc"}), c.calls);
        EXPECT_EQ(agent().Log({"ct_connect"}).size(), 1u);
    }
}

TEST_F(HealthTest, ReconnectGoesOnWhenCancelCloseOrDropFails)
{
    struct Case {
        const char *call;
        const char *error;
    } cases[] = {
        {"ct_cancel", "Failed to cancel pending command that left connection in busy state."},
        {"ct_close", "Failed to close connection to agent1, dropping connection anyway"},
        {"ct_con_drop", "Failed to drop connection to agent1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.call);
        CS_CONNECTION *old = handle->connection;
        handle->busy       = 1;
        agent().On(c.call).Returns(CS_FAIL);
        Forget();
        EXPECT_EQ(PaReconnect(handle), PaSUCCESS);
        EXPECT_NE(handle->connection, old);
        EXPECT_THAT(Errors(), ElementsAre(c.error));
        EXPECT_EQ(agent().Log({"ct_connect"}).size(), 1u);
        if (std::string(c.call) == "ct_con_drop") {
            ct_con_drop(old);  // the stand-in kept what the library failed to drop
        }
    }
}

TEST_F(HealthTest, ReconnectThatCannotConnectLeavesNoConnection)
{
    agent().SetStatus(handle->connection, CS_CONSTAT_DEAD);
    agent().On("ct_connect").Returns(CS_FAIL);
    EXPECT_EQ(PaReconnect(handle), PaCONNECT_FAILED);
    EXPECT_EQ(handle->connection, nullptr);
    EXPECT_THAT(Errors(), ElementsAre("Failed to make a connection to agent1.",
                                      "Unable to re-establish connection to server agent1"));
}

TEST_F(HealthTest, ReconnectWithoutConnectionConnectsStraightAway)
{
    ASSERT_EQ(PaDisconnect(handle, 0), PaSUCCESS);
    handle->busy = 1;
    Forget();
    EXPECT_EQ(PaReconnect(handle), PaSUCCESS);
    EXPECT_EQ(agent().Log().front(), "ct_con_alloc()");
    EXPECT_EQ(handle->busy, 0);
    EXPECT_THAT(Errors(), IsEmpty());
    EXPECT_THAT(Warnings(), IsEmpty());
}

TEST_F(HealthTest, DisconnectClosesByForceOnlyForOne)
{
    for (int32_t force : {1, 0, 2, -1}) {
        SCOPED_TRACE(force);
        if (handle->connection == nullptr) {
            ASSERT_EQ(PaConnect(handle), PaSUCCESS);
        }
        Forget();
        EXPECT_EQ(PaDisconnect(handle, force), PaSUCCESS);
        EXPECT_EQ(handle->connection, nullptr);
        EXPECT_THAT(agent().Log(),
                    ElementsAre(force == 1 ? "ct_close(CS_FORCE_CLOSE)" : "ct_close(CS_UNUSED)", "ct_con_drop()"));
        EXPECT_THAT(log.texts(), IsEmpty());
    }
    agent().ClearLog();
    EXPECT_EQ(PaDisconnect(handle, 1), PaFAILURE);
    EXPECT_THAT(agent().Log(), IsEmpty());
}

TEST_F(HealthTest, DisconnectWhoseCloseOrDropFailsStillLetsGoOfTheConnection)
{
    agent().On("ct_close").OnlyFor(CS_UNUSED).Returns(CS_FAIL);
    EXPECT_EQ(PaDisconnect(handle, 0), PaFAILURE);
    EXPECT_EQ(handle->connection, nullptr);
    EXPECT_THAT(agent().Log(), ElementsAre("ct_close(CS_UNUSED)", "ct_close(CS_FORCE_CLOSE)", "ct_con_drop()"));

    ASSERT_EQ(PaConnect(handle), PaSUCCESS);
    CS_CONNECTION *second = handle->connection;
    agent().On("ct_con_drop").Returns(CS_FAIL);
    EXPECT_EQ(PaDisconnect(handle, 1), PaFAILURE);
    EXPECT_EQ(handle->connection, nullptr);
    EXPECT_THAT(Errors(), IsEmpty());
    ct_con_drop(second);  // the stand-in kept what the library failed to drop
}

TEST_F(HealthTest, HandleStateSurvivesDisconnectAndReconnect)
{
    RetryProbe probe;
    PaInstallRetryCB(handle, &RetryProbe::Answer, &probe);
    ASSERT_EQ(PaInstallNotifcationCB(handle, &Notified, &probe.calls), PaSUCCESS);
    PaEnableAdvancedDiag(handle);
    PaSetServerInternalMode(handle);
    testing::internal::CaptureStderr();
    agent().Raise(fakect::ClientMessage(20009, 9, "Unable to connect"), handle->connection);
    testing::internal::GetCapturedStderr();
    const int32_t recorded = handle->lastClientMsgNumber;
    ASSERT_NE(recorded, 0);

    ASSERT_EQ(PaDisconnect(handle, 0), PaSUCCESS);
    ASSERT_EQ(PaReconnect(handle), PaSUCCESS);
    ASSERT_EQ(PaReconnect(handle), PaSUCCESS);
    EXPECT_EQ(handle->retryFunc, &RetryProbe::Answer);
    EXPECT_EQ(handle->retryData, &probe);
    EXPECT_EQ(handle->notificationFunc, &Notified);
    EXPECT_EQ(handle->notificationData, &probe.calls);
    EXPECT_EQ(handle->advancedDiag, 1);
    EXPECT_EQ(handle->internalMode, 1);
    EXPECT_EQ(handle->lastClientMsgNumber, recorded);
    EXPECT_EQ(PaServerGetLastError(handle), PaNETWORK_ERROR);
    EXPECT_EQ(agent().Property(handle->connection, CS_USERDATA),
              std::string(reinterpret_cast<const char *>(&handle), sizeof handle));
}

TEST_F(HealthTest, RetryCallbackInstalledBeforeConnectingIsCalledWithItsUserValue)
{
    PaConnection *unconnected = PaConnectCreate(kServer, kApp, kUser, kPassword);
    RetryProbe probe{.answers = {0}};
    PaInstallRetryCB(unconnected, &RetryProbe::Answer, &probe);
    ASSERT_EQ(PaConnect(unconnected), PaSUCCESS);
    agent().Script(RpcName(pa::protocol::kStartProcesses), fakect::Reply{.outcome = fakect::Outcome::CommandFails});
    EXPECT_EQ(PaStartProcesses(unconnected), PaFAILURE);
    EXPECT_THAT(probe.handles, ElementsAre(unconnected));
    EXPECT_THAT(probe.data, ElementsAre(&probe));
    PaInstallRetryCB(unconnected, nullptr, nullptr);
    EXPECT_EQ(unconnected->retryFunc, nullptr);
    PaConnectDestroy(unconnected);
}

}  // namespace
