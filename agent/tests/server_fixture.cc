#include "tests/server_fixture.h"

namespace paagent::tds::testing {
void LogCapture::Add(std::string_view line)
{
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
    changed_.notify_all();
}

std::string LogCapture::LineWith(const std::string &fragment)
{
    std::unique_lock lock(mutex_);
    std::string found;
    changed_.wait_for(lock, kWaitLimit, [&] {
        for (const std::string &line : lines_) {
            if (line.find(fragment) != std::string::npos) {
                found = line;
            }
        }
        return !found.empty();
    });
    return found;
}

void ServerTest::SetUp()
{
    ServerConfig config;
    config.max_request_bytes = 64 * 1024;
    config.check_login       = [](std::string_view user, std::string_view password) {
        if (user == kSingleRpcUser && password == kSingleRpcPassword) {
            return LoginGrant::kSingleRpc;
        }
        return user == kUser && password == kPassword ? LoginGrant::kSession : LoginGrant::kRefused;
    };
    config.log = [this](LogLevel, std::string_view line) { log_.Add(line); };
    Configure(config);
    server_ = std::make_unique<Server>(std::move(config));
    server_->AddRpc("echo", [](const SessionInfo &, const RpcRequest &, Reply &) {});
    server_->AddRpc("fail", [](const SessionInfo &, const RpcRequest &, Reply &reply) {
        reply.Fail(ServerMessage::Error(20001, "Process not found: xyz"));
    });
    server_->AddRpc("misuse_reply", [](const SessionInfo &, const RpcRequest &, Reply &reply) {
        reply.AddRow({1});  // no result set started: throws
    });
    server_->Start();
}

void ServerTest::TearDown() { server_->Stop(); }

}  // namespace paagent::tds::testing
