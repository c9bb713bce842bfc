// Feeds the payload of a normal client message to the agent's request decoder. Malformed bytes
// and requests the agent does not serve must come back as its two protocol exceptions, never as
// anything else.
#include <cstddef>
#include <cstdint>
#include <span>

#include "tds/errors.h"
#include "tds/request_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    try {
        paagent::tds::DecodeRequest(std::span(data, size));
    } catch (const paagent::tds::ProtocolError &) {
    } catch (const paagent::tds::UnsupportedRequest &) {
    }
    return 0;
}
