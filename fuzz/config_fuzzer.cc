// Feeds a text to the agent's configuration parser. A malformed text must come back as a
// ConfigError; the definitions of a text it accepts, written by the agent's writer and read
// back, must be the same definitions, and the text written from them must be the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/config_file.h"

namespace {

using paagent::Definitions;

bool Same(const Definitions &left, const Definitions &right)
{
    return left.services == right.services && left.routes == right.routes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Definitions definitions;
    try {
        definitions = paagent::ParseConfig(std::string_view(reinterpret_cast<const char *>(data), size));
    } catch (const paagent::ConfigError &) {
        return 0;
    }
    const std::string text      = paagent::FormatConfig(definitions);
    const Definitions read_back = paagent::ParseConfig(text);
    if (!Same(read_back, definitions) || paagent::FormatConfig(read_back) != text)
        std::abort();
    return 0;
}
