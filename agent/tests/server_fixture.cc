#include "tests/server_fixture.h"

namespace paagent::tds::testing {
void LogCapture::add(std::string_view line)
{
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
    changed_.notify_all();
}

std::string LogCapture::line_with(const std::string &fragment)
{
    std::unique_lock lock(mutex_);
    std::string found;
    changed_.wait_for(lock, kWaitLimit, [&] {
        for (const std::string &line : lines_) {
            if (line.find(fragment) != std::string::npos)
                found = line;
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
        if (user == kSingleRpcUser && password == kSingleRpcPassword)
            return LoginGrant::SingleRpc;
        return user == kUser && password == kPassword ? LoginGrant::Session : LoginGrant::Refused;
    };
    config.log = [this](LogLevel, std::string_view line) { log_.add(line); };
    configure(config);
    server_ = std::make_unique<Server>(std::move(config));
    server_->add_rpc("echo", [](const SessionInfo &, const RpcRequest &, Reply &) {});
    server_->add_rpc("fail", [](const SessionInfo &, const RpcRequest &, Reply &reply) {
        reply.fail(ServerMessage::error(20001, "Process not found: xyz"));
    });
    server_->add_rpc("misuse_reply", [](const SessionInfo &, const RpcRequest &, Reply &reply) {
        reply.add_row({1});  // no result set started: throws
    });
    server_->start();
}

void ServerTest::TearDown() { server_->stop(); }

}  // namespace paagent::tds::testing
