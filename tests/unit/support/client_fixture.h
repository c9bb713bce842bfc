// Shared set-up of the connection and RPC tests: the scripted Client-Library reset before each
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

#include <algorithm>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace client {

inline constexpr const char *kServer   = "agent1";
inline constexpr const char *kApp      = "monitor";
inline constexpr const char *kUser     = "fred";
inline constexpr const char *kPassword = "Pw-7f3c!";

// The name an RPC travels under.
inline std::string RpcName(int32_t rpc) { return std::string(pa::protocol::kRpcs[static_cast<size_t>(rpc)].name); }

inline int Count(const std::vector<std::string> &texts, std::string_view text)
{
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
}

// A retry callback whose answers are scripted per call (the last one repeats) and which
// records what it was called with.
struct RetryProbe {
    std::vector<int32_t> answers{1};
    std::function<void(int call)> onCall{};
    int calls = 0;
    std::vector<PaConnection *> handles{};
    std::vector<void *> data{};

    static int32_t Answer(PaConnection *handle, void *userData)
    {
        auto *probe = static_cast<RetryProbe *>(userData);
        probe->handles.push_back(handle);
        probe->data.push_back(userData);
        ++probe->calls;
        if (probe->onCall) {
            probe->onCall(probe->calls);
        }
        return probe->answers[std::min(static_cast<size_t>(probe->calls), probe->answers.size()) - 1];
    }
};

class ClientTest : public testing::Test {
protected:
    void SetUp() override { fakect::agent().Reset(); }

    void TearDown() override
    {
        if (handle != nullptr) {
            PaConnectDestroy(handle);
        }
        EXPECT_THAT(fakect::agent().Leaks(), testing::ElementsAreArray(expectedLeaks));
        EXPECT_EQ(hooks.liveBlocks(), 0u);
        EXPECT_THAT(log.texts(), testing::Each(testing::Not(testing::HasSubstr(kPassword))));
    }

    PaConnection *Create() { return handle = PaConnectCreate(kServer, kApp, kUser, kPassword); }

    // A connected handle, with the call log and the messages of getting there cleared.
    void Connect()
    {
        ASSERT_NE(Create(), nullptr);
        ASSERT_EQ(PaConnect(handle), PaSUCCESS);
        Forget();
    }

    void Forget()
    {
        fakect::agent().ClearLog();
        log.clear();
    }

    std::vector<std::string> Errors() const { return log.texts(PaMSG_ERROR); }
    std::vector<std::string> Warnings() const { return log.texts(PaMSG_WARNING); }
    std::vector<std::string> Debugs() const { return log.texts(PaMSG_DEBUG); }

    TrackingHooks hooks;
    LogCapture log;
    PaConnection *handle = nullptr;
    // Client-Library objects a test leaves behind on purpose (a drop it made fail).
    std::vector<std::string> expectedLeaks{};
};

class ConnectedTest : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        Connect();
    }
};

// A reply with one result set of integer columns.
inline fakect::Reply IntRows(std::vector<fakect::Row> rows, int columns = 2, CS_INT type = CS_ROW_RESULT)
{
    fakect::ResultSet set{.type = type};
    for (int k = 1; k <= columns; ++k) {
        set.columns.push_back({"c" + std::to_string(k), CS_INT_TYPE, 4});
    }
    set.rows = std::move(rows);
    return fakect::Reply{.results = {std::move(set)}};
}

}  // namespace client

#endif
