// Decoding client bytes: requests, parameters, login records; escaping what clients sent for the log.
#include <gtest/gtest.h>

#include "tds/errors.h"
#include "tds/log.h"
#include "tds/login.h"
#include "tds/request_decoder.h"
#include "tests/bytes.h"
#include "tests/raw_client.h"

namespace paagent::tds::testing {
namespace {

// ct_param(int 4711), (CS_CHAR "abc\0"), (CS_LONGCHAR 299 x 'L' + '\0') as FreeTDS sends them.
Bytes RpcWithThreeParams()
{
    return Hex("e6 14 00 11") + Text("pa_ProcessListRPC") + Hex("02 00 ec 47 00 03 00 0d") + Text("@processIdArg") +
           Hex("00 00000000 26 04 00 0f") + Text("@processNameArg") + Hex("00 00000000 2f 04 00 0b") +
           Text("@commandArg") + Hex("00 00000000 af 2c010000 00 d7 04 67120000 04") + Text(std::string("abc\0", 4)) +
           Hex("2c010000") + Text(std::string(299, 'L') + '\0');
}

TEST(RequestDecoder, DecodesLanguageAndLogout)
{
    auto language = DecodeRequest(Hex("21 0f 00 00 00 00") + Text("select @@spid "));
    EXPECT_EQ(std::get<LanguageRequest>(language).text, "select @@spid ");
    EXPECT_TRUE(std::holds_alternative<LogoutRequest>(DecodeRequest(Hex("71 00"))));
}

// Every truncation, a length past the end, an inconsistent structure: a protocol error; a
// datatype the server does not take: an unsupported request, which fails only its command.
TEST(RequestDecoder, RejectsBadRequests)
{
    const Bytes full = RpcWithThreeParams();
    for (std::size_t size = 0; size < full.size(); ++size) {
        EXPECT_THROW(DecodeRequest(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size))),
                     ProtocolError)
            << "truncated to " << size << " bytes";
    }
    const Bytes rpc                            = Hex("e6 04 00 01") + Text("p");
    const std::pair<const char *, Bytes> bad[] = {
        {"rpc length", Hex("e6 ff 00 01") + Text("p") + Hex("00 00")},
        {"format length", rpc + Hex("02 00 ec ff 00 01 00 00 00 00000000 26 04 00 d7 00")},
        {"value length", rpc + Hex("02 00 ec 0e 00 01 00 00 00 00000000 af 10000000 00 d7 ffffffff 41")},
        {"parameter count", rpc + Hex("02 00 ec 02 00 ff ff d7")},
        {"language length", Hex("21 ff 00 00 00 00") + Text("x")},
        {"trailing bytes", rpc + Hex("00 00 ff")},
        {"parameters missing", rpc + Hex("02 00 d7")},
        {"integer size", rpc + Hex("02 00 ec 0b 00 01 00 00 00 00000000 26 04 00 d7 03 010203")},
        {"unknown token", Hex("99 00")},
    };
    for (const auto &[what, bytes] : bad) {
        EXPECT_THROW(DecodeRequest(bytes), ProtocolError) << what;
    }
    Bytes float_param = rpc + Hex("02 00 ec 0b 00 01 00 00 00 00000000 6d 08 00 d7 08") + Bytes(8, 0);
    EXPECT_THROW(DecodeRequest(float_param), UnsupportedRequest);
}

TEST(LoginParser, ReadsFieldsFullPasswordAndCapability)
{
    const std::string password(45, 'p'), application(30, 'a');  // the application fills its field
    LoginRecord login = ParseLogin(LoginBytes({"agent", password, "client-host", application, "2048"}));
    EXPECT_EQ(login.user, "agent");
    EXPECT_EQ(login.password, password);
    EXPECT_EQ(login.application, application);
    EXPECT_EQ(login.requested_packet_size, 2048u);
    EXPECT_EQ(login.capability.size(), 32u);
}

TEST(LoginParser, RejectsTruncatedOrInconsistentRecords)
{
    const Bytes good = LoginBytes({"agent", "secret"});
    EXPECT_THROW(ParseLogin(Bytes(good.begin(), good.begin() + 300)), ProtocolError);
    EXPECT_THROW(ParseLogin(Bytes(good.begin(), good.begin() + 571)), ProtocolError);  // capability cut short
    // A field longer than its 30 bytes, a big-endian client, TDS 4.2.
    for (const auto &[at, value] : {std::pair{61, 31}, std::pair{124, 0x02}, std::pair{458, 4}}) {
        Bytes bad = good;
        bad[at]   = static_cast<std::uint8_t>(value);
        EXPECT_THROW(ParseLogin(bad), ProtocolError) << "byte " << at;
    }
}
TEST(EscapedForLog, WritesEveryByteOutsidePrintableAsciiAsAnEscape)
{
    const std::pair<std::string, std::string> cases[] = {
        {"plain text, 100% ASCII ~!", "plain text, 100% ASCII ~!"},
        {"line\r\nforged\t\x7f", "line\\r\\nforged\\t\\x7f"},
        {"\x1b[2J\x07", "\\x1b[2J\\x07"},
        {std::string("zero\0byte", 9), "zero\\x00byte"},
        {"caf\xc3\xa9 \xff", "caf\\xc3\\xa9 \\xff"},
        {"a\\nb", "a\\\\nb"},
    };
    for (const auto &[text, logged] : cases) {
        EXPECT_EQ(EscapedForLog(text), logged);
    }
}

}  // namespace
}  // namespace paagent::tds::testing
