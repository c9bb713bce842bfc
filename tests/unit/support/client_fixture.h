// Shared set-up of the tests over the scripted Client-Library: the stand-in reset before each
// test, captured messages, tracked memory, a handle, and the checks every test ends with (no
// Client-Library object or library block left behind, no password in any message).
#ifndef AGENTCLIENT_TESTS_CLIENTFIXTURE_H
#define AGENTCLIENT_TESTS_CLIENTFIXTURE_H

#include "connection.h"
#include "fakect.h"
#include "rpc.h"
#include "support/log_capture.h"
#include "support/tracking_hooks.h"

#include <agentclient/pa.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace client {

inline constexpr const char *kServer   = "agent1";
inline constexpr const char *kApp      = "monitor";
inline constexpr const char *kUser     = "fred";
inline constexpr const char *kPassword = "Pw-7f3c!";

// The name an RPC travels under.
inline std::string RpcName(int32_t rpc) { return std::string(pa::protocol::kRpcs[static_cast<size_t>(rpc)].name); }

// A retry callback that always answers the same and counts its calls.
struct RetryProbe {
    int32_t answer = 1;
    int calls      = 0;
    static int32_t Answer(PaConnection *, void *self)
    {
        auto *probe = static_cast<RetryProbe *>(self);
        ++probe->calls;
        return probe->answer;
    }
};

class ClientTest : public testing::Test {
protected:
    void SetUp() override { fakect::Scripted().Reset(); }

    void TearDown() override
    {
        if (handle_ != nullptr) {
            PaConnectDestroy(handle_);
        }
        EXPECT_EQ(fakect::Scripted().Undropped(), 0u);
        EXPECT_EQ(hooks_.LiveBlocks(), 0u);
        EXPECT_THAT(log_.Texts(), testing::Each(testing::Not(testing::HasSubstr(kPassword))));
    }

    PaConnection *Create() { return handle_ = PaConnectCreate(kServer, kApp, kUser, kPassword); }

    TrackingHooks hooks_;
    LogCapture log_;
    PaConnection *handle_ = nullptr;
};

class ConnectedTest : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        ASSERT_NE(Create(), nullptr);
        ASSERT_EQ(PaConnect(handle_), PaSUCCESS);
        log_.Clear();
    }
};

// A reply with one result set of integer columns.
inline fakect::Reply IntRows(std::vector<fakect::Row> rows, int columns = 2)
{
    fakect::ResultSet set{.columns = std::vector<fakect::Column>(columns, {CS_INT_TYPE, 4}), .rows = std::move(rows)};
    return fakect::Reply{.results = {std::move(set)}};
}

}  // namespace client

#endif
