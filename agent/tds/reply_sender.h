// Sends a reply as packets, watching for the client's attention (cancel) between packets.
#ifndef PAAGENT_TDS_REPLY_SENDER_H
#define PAAGENT_TDS_REPLY_SENDER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tds/socket.h"
#include "tds/token_writer.h"

namespace paagent::tds {

struct SendLimits {
    std::size_t packet_size;                  // negotiated packet size, header included
    std::size_t max_request_payload;          // bound for reading an incoming attention
    std::chrono::milliseconds write_timeout;  // longest wait for the client to take more bytes
};

struct SendOutcome {
    IoResult io    = IoResult::kOk;
    bool cancelled = false;  // an attention arrived and was acknowledged
};

// On an attention the rest of the reply is dropped: the token in progress is completed (the client
// parses tokens across packets) and a DONE with the attention bit ends the message.
// Throws ProtocolError if the client sends anything but an attention while the reply is going out.
SendOutcome SendReply(Stream &stream, const TokenBuffer &reply, const SendLimits &limits);

// What follows `sent` bytes of a cancelled reply: the rest of the token in progress, then the
// DONE with the attention bit.
std::vector<std::uint8_t> CancelledTail(const TokenBuffer &reply, std::size_t sent);

// Acknowledges an attention that arrived after a reply was complete.
IoResult SendAttentionAck(Stream &stream, const SendLimits &limits);

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_REPLY_SENDER_H
