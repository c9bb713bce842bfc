#include "tests/server_fixture.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace paagent::tds::testing {
namespace {

// FreeTDS reads $HOME/.freetds.conf and $HOME/.interfaces before $SYBASE/interfaces, and
// environment variables override files: point HOME and SYBASE at a private directory and clear
// the overrides so only the interfaces file written here decides.
class PrivateDirectory {
public:
    PrivateDirectory() : path_((std::filesystem::temp_directory_path() / "tdstest.XXXXXX").string())
    {
        if (mkdtemp(path_.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
    }
    ~PrivateDirectory()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

void use_private_interfaces(std::uint16_t port)
{
    static const PrivateDirectory private_directory;
    const std::string &directory = private_directory.path();
    std::ofstream(directory + "/interfaces")
        << kServerName << "\n\tquery tcp 5.0 127.0.0.1 " << port << "\n"
        << kAutoVersionServerName << "\n\tquery tcp ether 127.0.0.1 " << port << "\n";
    setenv("SYBASE", directory.c_str(), 1);
    setenv("HOME", directory.c_str(), 1);
    for (const char *name : {"FREETDSCONF", "FREETDS", "TDSVER", "TDSPORT", "TDSHOST", "TDSQUERY"}) {
        unsetenv(name);
    }
}

}  // namespace

void LogCapture::add(std::string_view line)
{
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
    changed_.notify_all();
}

bool LogCapture::wait_for(const std::string &fragment)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWaitLimit, [&] {
        for (const std::string &line : lines_) {
            if (line.find(fragment) != std::string::npos)
                return true;
        }
        return false;
    });
}

std::vector<std::string> LogCapture::lines()
{
    std::lock_guard lock(mutex_);
    return lines_;
}

void ServerTest::SetUp()
{
    ServerConfig config;
    config.max_request_bytes = 64 * 1024;
    config.check_login       = [](std::string_view user, std::string_view password) {
        if (user == kSingleRpcUser && password == kSingleRpcPassword)
            return LoginGrant::SingleRpc;
        bool known = (user == kUser && password == kPassword) || (user == "longpw" && password == kLongPassword);
        return known ? LoginGrant::Session : LoginGrant::Refused;
    };
    config.log = [this](LogLevel, std::string_view line) { log_.add(line); };
    configure(config);
    server_ = std::make_unique<Server>(std::move(config));
    register_rpcs();
    server_->start();
    use_private_interfaces(server_->port());
}

void ServerTest::TearDown() { server_->stop(); }

std::optional<RpcRequest> ServerTest::last_echo()
{
    std::lock_guard lock(mutex_);
    return echo_;
}

std::optional<SessionInfo> ServerTest::last_session()
{
    std::lock_guard lock(mutex_);
    return session_;
}

void ServerTest::register_rpcs()
{
    server_->add_rpc("echo", [this](const SessionInfo &session, const RpcRequest &request, Reply &) {
        std::lock_guard lock(mutex_);
        echo_    = request;
        session_ = session;
    });
    server_->add_rpc("list_rows", [](const SessionInfo &, const RpcRequest &, Reply &reply) {
        reply.begin_rows({Column::integer("pid", false), Column::integer("state"), Column::text("name", 30),
                          Column::text("cmdline", 8192)});
        reply.add_row({101, 4, "proc-one", std::string(5000, 'c')});
        reply.add_row({102, Value::null(), "proc-two", Value::null()});
    });
    server_->add_rpc("fail", [](const SessionInfo &, const RpcRequest &, Reply &reply) {
        ServerMessage message = ServerMessage::error(20001, "Process not found: xyz");
        message.state         = 3;
        message.line          = 42;
        reply.fail(message);
    });
    server_->add_rpc("misuse_reply", [](const SessionInfo &, const RpcRequest &, Reply &reply) {
        reply.add_row({1});  // no result set started: throws
    });
    server_->add_rpc("many_rows", [](const SessionInfo &, const RpcRequest &, Reply &reply) {
        reply.begin_rows({Column::integer("n"), Column::text("filler", 64)});
        for (int i = 0; i < kManyRows; ++i) {
            reply.add_row({i, std::string(64, 'f')});
        }
    });
    server_->add_rpc("wait_for_peer", [this](const SessionInfo &, const RpcRequest &, Reply &reply) {
        std::unique_lock lock(mutex_);
        if (!peer_signalled_.wait_for(lock, kWaitLimit, [this] { return peer_ready_; })) {
            reply.fail(ServerMessage::error(1, "peer never called"));
        }
    });
    server_->add_rpc("peer_signal", [this](const SessionInfo &, const RpcRequest &, Reply &) {
        std::lock_guard lock(mutex_);
        peer_ready_ = true;
        peer_signalled_.notify_all();
    });
}

}  // namespace paagent::tds::testing
