// Feeds a login record to the agent's login parser and answers every record it accepts, as the
// agent does: a malformed record must come back as a protocol exception, never as anything else.
#include <cstddef>
#include <cstdint>
#include <span>

#include "tds/errors.h"
#include "tds/login.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace paagent::tds;
    try {
        LoginRecord login = ParseLogin(std::span(data, size));
        LoginAcceptedReply(login, {.product_name = "paagentd", .server_name = "agent", .packet_size = 4096});
    } catch (const ProtocolError &) {
    }
    return 0;
}
