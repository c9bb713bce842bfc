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
    std::ofstream(directory + "/interfaces") << kServerName << "\n\tquery tcp 5.0 127.0.0.1 " << port << "\n";
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
        bool known = (user == kUser && password == kPassword) || (user == kLongUser && password == kLongPassword);
        return known ? LoginGrant::Session : LoginGrant::Refused;
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
    use_private_interfaces(server_->port());
}

void ServerTest::TearDown() { server_->stop(); }

}  // namespace paagent::tds::testing
