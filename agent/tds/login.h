// The TDS 5.0 login record and the server's answers to it.
#ifndef PAAGENT_TDS_LOGIN_H
#define PAAGENT_TDS_LOGIN_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tds/token_writer.h"

namespace paagent::tds {

struct LoginRecord {
    std::string client_host;
    std::string user;
    std::string password;             // full length (from the remote-password block when present)
    bool encrypted_password = false;  // the password is left out, to follow encrypted
    std::string client_process;
    std::string application;
    std::string server_name;  // the name the client connected to
    std::size_t requested_packet_size = kRequestedDefault;
    std::vector<std::uint8_t> capability;  // body of the capability token; empty if none was sent

    static constexpr std::size_t kRequestedDefault = 512;
};

// Throws ProtocolError for a record that is truncated, inconsistent, or not TDS 5.0 little-endian.
LoginRecord ParseLogin(std::span<const std::uint8_t> payload);

struct LoginReplyOptions {
    std::string_view product_name;  // LOGINACK name; must not contain "Microsoft"
    std::string_view server_name;   // EED server name of the rejection
    std::size_t packet_size;        // announced with ENVCHANGE when not the default 512
};

TokenBuffer LoginAcceptedReply(const LoginRecord &login, const LoginReplyOptions &options);
inline constexpr std::string_view kLoginFailed = "Login failed.";

// `reason` is the text of the refusal's message (number 4002, severity 14).
TokenBuffer LoginRejectedReply(const LoginReplyOptions &options, std::string_view reason = kLoginFailed);

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_LOGIN_H
