#include "tests/raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <stdexcept>

namespace paagent::tds::testing {
namespace {

constexpr std::size_t kRecordSize     = 603;
constexpr std::size_t kPacketSize     = 512;
constexpr std::size_t kHeader         = 8;
constexpr std::uint8_t kRequestPacket = 0x0F;

// A fixed-width field: the value (cut to `width`), zero padding, then its length.
void PutField(std::vector<std::uint8_t> &record, std::size_t at, std::size_t width, const std::string &value)
{
    std::size_t length = std::min(value.size(), width);
    std::copy_n(value.begin(), length, record.begin() + static_cast<std::ptrdiff_t>(at));
    record[at + width] = static_cast<std::uint8_t>(length);
}

void PutBytes(std::vector<std::uint8_t> &record, std::size_t at, std::initializer_list<std::uint8_t> bytes)
{
    std::copy(bytes.begin(), bytes.end(), record.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace

std::vector<std::uint8_t> LoginBytes(const LoginFields &fields)
{
    std::vector<std::uint8_t> record(kRecordSize, 0);
    PutField(record, 0, 30, fields.host);
    PutField(record, 31, 30, fields.user);
    PutField(record, 62, 30, fields.password);
    PutField(record, 93, 30, "4242");
    PutBytes(record, 124, {0x03, 0x01, 0x06, 0x0A, 0x09, 0x01});
    PutField(record, 140, 30, fields.application);
    PutField(record, 171, 30, "PASRV");
    // The remote-password block: no server name, then the whole password.
    record[203] = static_cast<std::uint8_t>(fields.password.size());
    std::copy(fields.password.begin(), fields.password.end(), record.begin() + 204);
    record[457] = static_cast<std::uint8_t>(fields.password.size() + 2);
    PutBytes(record, 458, {0x05, 0x00, 0x00, 0x00});
    PutField(record, 462, 10, "CT-Library");
    PutBytes(record, 473, {0x05, 0x00, 0x00, 0x00, 0x00, 0x0D, 0x11});
    PutField(record, 480, 30, "us_english");
    record[556] = 1;
    PutField(record, 557, 6, fields.packet_size);
    PutBytes(record, 568, {0xE2, 0x20, 0x00, 0x01, 0x0E});
    PutBytes(record, 587, {0x02, 0x0E});
    record[514] = fields.encrypt ? 0x80 : 0;
    return record;
}

namespace {

// The number and text of the first server message (EED) in a reply, and whether a LOGINACK said
// "accepted": the tokens with a 16-bit length that come before the first of another kind.
Answer AnswerIn(const std::vector<std::uint8_t> &reply)
{
    constexpr std::uint8_t kLoginAck = 0xAD, kEed = 0xE5, kEnvChange = 0xE3, kCapability = 0xE2, kAccepted = 5;
    Answer answer;
    answer.replied = !reply.empty();
    std::size_t at = 0;
    while (at + 3 <= reply.size() &&
           (reply[at] == kLoginAck || reply[at] == kEed || reply[at] == kEnvChange || reply[at] == kCapability)) {
        std::uint8_t token = reply[at];
        std::size_t length = reply[at + 1] | std::size_t{reply[at + 2]} << 8;
        std::size_t body   = at + 3;
        if (body + length > reply.size()) {
            break;
        }
        if (token == kLoginAck) {
            answer.accepted = reply[body] == kAccepted;
        }
        if (token == kEed && answer.message.empty()) {
            std::copy_n(reply.begin() + static_cast<std::ptrdiff_t>(body), 4,
                        reinterpret_cast<std::uint8_t *>(&answer.number));
            std::size_t text = body + 7 + reply[body + 6] + 3;  // number, state, class, sqlstate, status, tran
            std::size_t size = reply[text] | std::size_t{reply[text + 1]} << 8;
            answer.message.assign(reply.begin() + static_cast<std::ptrdiff_t>(text + 2),
                                  reply.begin() + static_cast<std::ptrdiff_t>(text + 2 + size));
        }
        at = body + length;
    }
    return answer;
}

}  // namespace

std::vector<std::uint8_t> Packets(std::uint8_t type, const std::vector<std::uint8_t> &payload)
{
    std::vector<std::uint8_t> out;
    for (std::size_t at = 0; at < payload.size(); at += kPacketSize - kHeader) {
        const std::size_t chunk = std::min(kPacketSize - kHeader, payload.size() - at), length = chunk + kHeader;
        out.insert(out.end(), {type, static_cast<std::uint8_t>(at + chunk == payload.size() ? 1 : 0),
                               static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length), 0, 0, 0, 0});
        out.insert(out.end(), payload.begin() + static_cast<std::ptrdiff_t>(at),
                   payload.begin() + static_cast<std::ptrdiff_t>(at + chunk));
    }
    return out;
}

RawClient::RawClient(std::uint16_t port, const std::string &source)
    : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    sockaddr_in from{AF_INET, 0, {}, {}}, to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    ::inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    if (::bind(socket_.Get(), reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
        ::connect(socket_.Get(), reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        throw std::runtime_error("cannot connect from " + source);
    }
}

RawClient &RawClient::Send(const std::vector<std::uint8_t> &bytes)
{
    ::send(socket_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    return *this;
}

std::vector<std::uint8_t> RpcMessage(const std::string &rpc)
{
    std::vector<std::uint8_t> token = {0xE6, static_cast<std::uint8_t>(rpc.size() + 3), 0,
                                       static_cast<std::uint8_t>(rpc.size())};
    token.insert(token.end(), rpc.begin(), rpc.end());
    token.insert(token.end(), {0, 0});
    return Packets(kRequestPacket, token);
}

std::vector<std::uint8_t> EncryptedPasswordMessage(const std::string &ciphertext)
{
    const auto size                  = static_cast<std::uint32_t>(ciphertext.size());
    const std::uint8_t size_bytes[4] = {static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
                                        static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 24)};
    // The message token, then one LONGBINARY parameter: its format (14 bytes) and its value.
    std::vector<std::uint8_t> tokens = {0x65, 3, 0x01, 0x1f, 0x00, 0xEC, 14, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xE1};
    tokens.insert(tokens.end(), size_bytes, size_bytes + 4);
    tokens.insert(tokens.end(), {0, 0xD7});
    tokens.insert(tokens.end(), size_bytes, size_bytes + 4);
    tokens.insert(tokens.end(), ciphertext.begin(), ciphertext.end());
    return Packets(kRequestPacket, tokens);
}

Answer RawClient::ReadAnswer() { return AnswerIn(Reply()); }

std::vector<std::uint8_t> RawClient::Reply()
{
    const auto deadline = std::chrono::steady_clock::now() + kReadLimit;
    std::vector<std::uint8_t> payload;
    for (std::array<std::uint8_t, kHeader> header{}; ReadExact(header.data(), kHeader, deadline);) {
        const std::size_t length = std::size_t{header[2]} << 8 | header[3], at = payload.size();
        payload.resize(at + std::max(length, kHeader) - kHeader);
        if (length < kHeader || !ReadExact(payload.data() + at, length - kHeader, deadline)) {
            break;
        }
        if ((header[1] & 1) != 0) {
            return payload;
        }
    }
    return {};
}

bool RawClient::ClosedByServer()
{
    const auto deadline = std::chrono::steady_clock::now() + kReadLimit;
    std::uint8_t sink   = 0;
    while (ReadExact(&sink, 1, deadline)) {
    }
    return std::chrono::steady_clock::now() < deadline;
}

// False at the end of the stream or at the deadline.
bool RawClient::ReadExact(std::uint8_t *out, std::size_t size, std::chrono::steady_clock::time_point deadline)
{
    for (std::size_t done = 0; done < size;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd fd{socket_.Get(), POLLIN, 0};
        ssize_t got = left.count() > 0 && ::poll(&fd, 1, static_cast<int>(left.count())) == 1
                          ? ::recv(socket_.Get(), out + done, size - done, 0)
                          : 0;
        if (got <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace paagent::tds::testing
