// Passwords on the wire: a relay between FreeTDS ct-lib and the server records every byte of
// logins made with and without FreeTDS's encrypted-password exchange.
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "tds/listener.h"
#include "tests/ctlib_client.h"
#include "tests/raw_client.h"
#include "tests/relay.h"
#include "tests/server_fixture.h"

namespace paagent::tds::testing {
namespace {

const std::string kEncryptingName = "RELAY_ENCRYPTING";
const std::string kClearName      = "RELAY_CLEAR";
const std::string kWrongPassword  = "not-the-password-of-this-user-at-all";

// One key for every test: generating one takes about a second.
std::shared_ptr<const LoginKey> test_key()
{
    static const auto key = std::make_shared<const LoginKey>(LoginKey::load_or_create(PAAGENT_TEST_LOGIN_KEY));
    return key;
}

// Names for FreeTDS that lead through the relay, one asking to encrypt the password, in a
// freetds.conf of this test process removed at exit.
void name_relay(std::uint16_t port)
{
    struct ConfFile {
        std::filesystem::path path =
            std::filesystem::temp_directory_path() / ("relay-freetds-" + std::to_string(getpid()) + ".conf");
        ~ConfFile()
        {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
    };
    static const ConfFile file;
    std::ofstream out(file.path);
    for (const auto &[name, encryption] : {std::pair{kEncryptingName, "require"}, std::pair{kClearName, "off"}}) {
        out << "[" << name << "]\n\thost = 127.0.0.1\n\tport = " << port << "\n\ttds version = 5.0\n"
            << "\tencryption = " << encryption << "\n";
    }
    setenv("FREETDSCONF", file.path.c_str(), 1);
}

bool contains(const std::vector<std::uint8_t> &bytes, const std::string &text)
{
    return std::search(bytes.begin(), bytes.end(), text.begin(), text.end()) != bytes.end();
}

struct LoginCase {
    const char *label;
    bool server_requires;
    bool client_encrypts;
    std::string user;
    std::string password;
    std::string refusal;  // empty: accepted
};

void PrintTo(const LoginCase &login, std::ostream *out) { *out << login.label; }

const std::string kClearRefusal = "Login failed: this server accepts only encrypted passwords; set \"encryption = "
                                  "require\" for it in the client's freetds.conf.";

const LoginCase kCases[] = {
    {"Encrypted", true, true, kLongUser, kLongPassword, ""},
    {"EncryptedWrongPassword", true, true, kLongUser, kWrongPassword, "Login failed."},
    {"ClearSingleRpcToRequiringServer", true, false, kSingleRpcUser, kSingleRpcPassword, kClearRefusal},
    {"ClearAccepted", false, false, kLongUser, kLongPassword, ""},
    {"ClearTruncatedPassword", false, false, kLongUser, kLongPassword.substr(0, 30), "Login failed."},
    {"EncryptedToLenientServer", false, true, kLongUser, kLongPassword, ""},
};

class EncryptedLoginTest : public ServerTest, public ::testing::WithParamInterface<LoginCase> {
protected:
    void configure(ServerConfig &config) override
    {
        config.login_key               = test_key();
        config.require_encrypted_login = GetParam().server_requires;
    }
};

// The password shows on the wire exactly when the client sends it in clear, whatever the server
// answers; the login succeeds or fails as the password and the server's rule say.
TEST_P(EncryptedLoginTest, PasswordCrossesTheWireOnlyInClearLogins)
{
    const LoginCase &login = GetParam();
    Relay relay(port());
    name_relay(relay.port());
    {
        CtClient client;
        CS_RETCODE connected =
            client.connect(login.client_encrypts ? kEncryptingName : kClearName, login.user, login.password);
        if (login.refusal.empty()) {
            EXPECT_EQ(connected, CS_SUCCEED);
            EXPECT_TRUE(client.server_messages.empty());
            client.close();
        } else {
            EXPECT_EQ(connected, CS_FAIL);
            ASSERT_EQ(client.server_messages.size(), 1u);
            EXPECT_EQ(client.server_messages[0].text, login.refusal);
        }
    }
    Recording wire = relay.recording(1, kWaitLimit);
    ASSERT_FALSE(wire.from_client.empty());
    EXPECT_EQ(wire.from_client[0], 0x02);  // a TDS 5.0 login: encryption starts no TLS handshake
    EXPECT_FALSE(contains(wire.from_server, login.password));
    EXPECT_EQ(contains(wire.from_client, login.password), !login.client_encrypts);
}

INSTANTIATE_TEST_SUITE_P(Logins, EncryptedLoginTest, ::testing::ValuesIn(kCases),
                         [](const auto &test) { return std::string(test.param.label); });

class ReplayTest : public ServerTest {
protected:
    void configure(ServerConfig &config) override
    {
        config.login_key               = test_key();
        config.require_encrypted_login = true;
    }
};

// The login and encrypted password of an accepted login, sent again as they were recorded, are
// refused: the server has sent a new nonce, which the recorded password was not encrypted with.
TEST_F(ReplayTest, RecordedEncryptedLoginIsRefused)
{
    Relay relay(port());
    name_relay(relay.port());
    {
        CtClient client;
        ASSERT_EQ(client.connect(kEncryptingName, kLongUser, kLongPassword), CS_SUCCEED);
        client.close();
    }
    std::vector<std::vector<std::uint8_t>> sent = split_messages(relay.recording(1, kWaitLimit).from_client);
    ASSERT_GE(sent.size(), 2u);

    RawClient replay(port());
    replay.send(sent[0]);
    EXPECT_FALSE(replay.login_answer(kWaitLimit).accepted);  // the key and a nonce
    replay.send(sent[1]);
    LoginAnswer answer = replay.login_answer(kWaitLimit);
    EXPECT_FALSE(answer.accepted);
    EXPECT_EQ(answer.message, "Login failed.");
}

// A private key that other users may read is no secret: the server does not start with it.
TEST(LoginKeyFile, OpenToOtherUsersIsRefused)
{
    std::filesystem::path copy =
        std::filesystem::temp_directory_path() / ("open-login-key-" + std::to_string(getpid()) + ".pem");
    test_key();  // makes sure the shared key file exists
    std::filesystem::copy_file(PAAGENT_TEST_LOGIN_KEY, copy, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    EXPECT_THROW(LoginKey::load_or_create(copy), LoginKeyError);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_read);
    EXPECT_NO_THROW(LoginKey::load_or_create(copy));
    std::filesystem::remove(copy);
}

// Which listening addresses make refusing passwords in clear the default.
TEST(LoopbackAddress, IsTheWholeOf127Slash8)
{
    const std::pair<const char *, bool> cases[] = {
        {"127.0.0.1", true}, {"127.8.9.10", true}, {"0.0.0.0", false},
        {"10.0.0.1", false}, {"128.0.0.1", false}, {"localhost", false},
    };
    for (const auto &[address, loopback] : cases) {
        EXPECT_EQ(is_loopback_address(address), loopback) << address;
    }
}

}  // namespace
}  // namespace paagent::tds::testing
