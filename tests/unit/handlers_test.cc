// Client and server message handlers: which messages fail an operation, what is recorded in
// the handle, the diagnostics printed on standard error, and the notification callback.
#include "support/client_fixture.h"

using namespace client;
using fakect::agent;
using fakect::ClientMessage;
using fakect::ServerMessage;
using testing::ElementsAre;
using testing::IsEmpty;

namespace {

constexpr CS_INT Number(int layer, int origin, int severity, int number)
{
    return (layer << 24) | (origin << 16) | (severity << 8) | number;
}

using HandlersTest = ConnectedTest;

void Notified() {}

TEST_F(HandlersTest, ClientMessagesFailOnTheTimeoutNumberOrACommunicationSeverity)
{
    struct Case {
        CS_MSGNUM number;
        CS_INT severity;  // the record's own severity member
        CS_RETCODE result;
        CS_INT recorded;
        int32_t lastError;
    } cases[] = {
        {Number(1, 2, 2, 63), 2, CS_FAIL, Number(1, 2, 2, 63), PaGENERAL_ERROR},
        {Number(2, 1, 1, 63), 1, CS_FAIL, Number(2, 1, 1, 63), PaGENERAL_ERROR},
        {Number(5, 3, 1, 63), 1, CS_FAIL, Number(5, 3, 1, 63), PaNETWORK_ERROR},
        {Number(1, 1, 4, 62), 4, CS_SUCCEED, Number(1, 1, 4, 62), PaGENERAL_ERROR},
        {Number(1, 1, 5, 1), 5, CS_FAIL, Number(1, 1, 5, 1), PaGENERAL_ERROR},
        {Number(1, 1, 6, 1), 6, CS_FAIL, Number(1, 1, 6, 1), PaGENERAL_ERROR},
        {Number(1, 1, 1, 1), 1, CS_SUCCEED, Number(1, 1, 1, 1), PaGENERAL_ERROR},
        // FreeTDS's own numbers, without layer or origin, are brought into the layered form.
        {20003, 6, CS_FAIL, Number(1, 2, 2, 63), PaGENERAL_ERROR},
        {20009, 9, CS_FAIL, Number(5, 3, 5, 20009 & 0xFF), PaNETWORK_ERROR},
        {20012, 2, CS_SUCCEED, Number(1, 1, 2, 20012 & 0xFF), PaGENERAL_ERROR},
    };
    PaEnableAdvancedDiag(handle);
    PaDisableAdvancedDiag(handle);  // nothing is printed, the rest goes on
    testing::internal::CaptureStderr();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.number);
        EXPECT_EQ(agent().Raise(ClientMessage(c.number, c.severity, "message"), handle->connection), c.result);
        EXPECT_EQ(handle->lastClientMsgNumber, c.recorded);
        EXPECT_EQ(PaServerGetLastError(handle), c.lastError);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_THAT(log.texts(), IsEmpty());
}

TEST_F(HandlersTest, TheAgentsMessagesAreKeptAndLoggedByTheirSeverity)
{
    PaServerMessage message{};
    EXPECT_EQ(PaServerGetLastMessage(handle, &message), PaNOT_FOUND);
    const std::string longest(CS_MAX_MSG - 1, 'm');
    struct Case {
        CS_INT severity;
        std::string text;
        int32_t level;
    } cases[] = {{10, "notification from agent1", PaMSG_INFORMATION},
                 {16, "process p is already running", PaMSG_ERROR},
                 {16, longest, PaMSG_ERROR}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.severity);
        log.clear();
        agent().Raise(ServerMessage(20001, c.severity, 1, c.text, "agent1"), handle->connection);
        ASSERT_EQ(PaServerGetLastMessage(handle, &message), PaSUCCESS);
        EXPECT_EQ(message.number, 20001);
        EXPECT_EQ(message.severity, c.severity);
        EXPECT_EQ(message.text, c.text);
        ASSERT_EQ(log.messages().size(), 1u);
        EXPECT_EQ(log.messages()[0].level, c.level);
        EXPECT_THAT(log.messages()[0].text, testing::EndsWith(": " + c.text));
    }
}

TEST_F(HandlersTest, DiagnosticsPrintClientMessagesWithTheirDecodedNumber)
{
    PaEnableAdvancedDiag(handle);
    testing::internal::CaptureStderr();
    agent().Raise(ClientMessage(20003, 6, "Adaptive Server connection timed out", "Connection timed out"),
                  handle->connection);
    agent().Raise(ClientMessage(Number(1, 1, 4, 62), 4, "no OS text"), handle->connection);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Open Client Message:\n"
                                                      "Message Number Decoding :-\n"
                                                      "Layer 1, Origin 2, Severity 2, Number 63\n"
                                                      "Message String: Adaptive Server connection timed out\n\n"
                                                      "Operating System Error: Connection timed out\n"
                                                      "Open Client Message:\n"
                                                      "Message Number Decoding :-\n"
                                                      "Layer 1, Origin 1, Severity 4, Number 62\n"
                                                      "Message String: no OS text\n\n");
}

TEST_F(HandlersTest, ServerMessagesArePrintedOnlyAndNeverFail)
{
    PaEnableAdvancedDiag(handle);
    testing::internal::CaptureStderr();
    EXPECT_EQ(
        agent().Raise(ServerMessage(20001, 16, 1, "no such process", "agent1", RpcName(pa::protocol::kProcessStop), 3),
                      handle->connection),
        CS_SUCCEED);
    EXPECT_EQ(agent().Raise(ServerMessage(5701, 24, 2, "fatal"), handle->connection), CS_SUCCEED);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Open Server Message:\n"
                                                      "Message Number Decoding:\n"
                                                      "Number 20001, Severity 16, State 1, Line 3\n\n"
                                                      "From Server 'agent1'\n"
                                                      "Procedure 'pa_ProcessStopRPC'\n"
                                                      "Message String: no such process\n"
                                                      "Open Server Message:\n"
                                                      "Message Number Decoding:\n"
                                                      "Number 5701, Severity 24, State 2, Line 0\n\n"
                                                      "Message String: fatal\n");
    EXPECT_EQ(handle->lastClientMsgNumber, 0);
    EXPECT_EQ(PaServerGetLastError(handle), PaNO_ERROR);
}

TEST_F(HandlersTest, MessagesWithoutAConnectionConcernNoHandle)
{
    PaEnableAdvancedDiag(handle);
    testing::internal::CaptureStderr();
    EXPECT_EQ(agent().Raise(ClientMessage(20003, 6, "timed out"), nullptr, handle->context), CS_FAIL);
    EXPECT_EQ(agent().Raise(ClientMessage(Number(1, 1, 1, 1), 1, "fine"), nullptr, handle->context), CS_SUCCEED);
    EXPECT_EQ(agent().Raise(ServerMessage(1, 16, 1, "text"), nullptr, handle->context), CS_SUCCEED);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(handle->lastClientMsgNumber, 0);
    EXPECT_EQ(agent().Deliveries().size(), 3u);
}

TEST_F(HandlersTest, UnreadableUserDataFailsBothHandlers)
{
    agent().On("ct_con_props").OnlyFor(CS_USERDATA).OnlyAction(CS_GET).Returns(CS_FAIL).Times(2);
    EXPECT_EQ(agent().Raise(ClientMessage(Number(1, 1, 1, 1), 1, "fine"), handle->connection), CS_FAIL);
    EXPECT_EQ(agent().Raise(ServerMessage(1, 10, 1, "text"), handle->connection), CS_FAIL);
    EXPECT_THAT(Errors(), ElementsAre("Failed to retrieve user data.", "Failed to retrieve user data."));
    EXPECT_EQ(handle->lastClientMsgNumber, 0);
}

TEST_F(HandlersTest, LastErrorKeepsTheLatestClientMessage)
{
    EXPECT_EQ(PaServerGetLastError(handle), PaNO_ERROR);
    agent().Raise(ClientMessage(Number(5, 3, 1, 7), 1, "net-library"), handle->connection);
    EXPECT_EQ(PaServerGetLastError(handle), PaNETWORK_ERROR);
    agent().Raise(ClientMessage(Number(5, 2, 1, 7), 1, "network layer, other origin"), handle->connection);
    EXPECT_EQ(PaServerGetLastError(handle), PaGENERAL_ERROR);
    EXPECT_EQ(PaStartProcesses(handle), PaSUCCESS);
    agent().Raise(ServerMessage(1, 16, 1, "server"), handle->connection);
    EXPECT_EQ(PaServerGetLastError(handle), PaGENERAL_ERROR);
    agent().Raise(ClientMessage(Number(1, 3, 1, 7), 1, "other layer"), handle->connection);
    EXPECT_EQ(PaServerGetLastError(handle), PaGENERAL_ERROR);
    agent().Raise(ClientMessage(Number(5, 3, 1, 8), 1, "net-library again"), handle->connection);
    EXPECT_EQ(PaServerGetLastError(handle), PaNETWORK_ERROR);
}

using HandlersBeforeConnectTest = ClientTest;

TEST_F(HandlersBeforeConnectTest, MessagesRaisedBeforeTheUserDataIsSetAreNeitherRecordedNorPrinted)
{
    ASSERT_NE(Create(), nullptr);
    EXPECT_EQ(PaServerGetLastError(handle), PaNO_ERROR);
    PaEnableAdvancedDiag(handle);
    agent()
        .On("ct_con_props")
        .OnlyFor(CS_USERNAME)
        .OnlyAction(CS_SET)
        .Raises(ClientMessage(Number(1, 1, 1, 1), 1, "early"))
        .Raises(ServerMessage(1, 10, 1, "early"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(PaConnect(handle), PaSUCCESS);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(handle->lastClientMsgNumber, 0);
    ASSERT_EQ(agent().Deliveries().size(), 2u);
    EXPECT_TRUE(agent().Deliveries()[0].delivered && agent().Deliveries()[1].delivered);
    EXPECT_THAT(Errors(), IsEmpty());
}

TEST_F(HandlersBeforeConnectTest, NotificationCallbackNeedsAConnection)
{
    ASSERT_NE(Create(), nullptr);
    int data = 0;
    EXPECT_EQ(PaInstallNotifcationCB(handle, &Notified, &data), PaFAILURE);
    EXPECT_EQ(handle->notificationFunc, nullptr);
    EXPECT_THAT(Errors(), ElementsAre("Attempt to install user handler before connection made."));

    ASSERT_EQ(PaConnect(handle), PaSUCCESS);
    log.clear();
    EXPECT_EQ(PaInstallNotifcationCB(handle, &Notified, &data), PaSUCCESS);
    EXPECT_EQ(handle->notificationFunc, &Notified);
    EXPECT_EQ(handle->notificationData, &data);
    EXPECT_EQ(PaInstallNotifcationCB(handle, nullptr, nullptr), PaSUCCESS);
    EXPECT_EQ(handle->notificationFunc, nullptr);
    EXPECT_THAT(Errors(), IsEmpty());

    ASSERT_EQ(PaInstallNotifcationCB(handle, &Notified, &data), PaSUCCESS);
    ASSERT_EQ(PaDisconnect(handle, 0), PaSUCCESS);
    EXPECT_EQ(PaInstallNotifcationCB(handle, nullptr, nullptr), PaFAILURE);
    EXPECT_EQ(handle->notificationFunc, &Notified);
    EXPECT_THAT(Errors(), ElementsAre("Attempt to install user handler before connection made."));
}

}  // namespace
