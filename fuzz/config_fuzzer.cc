// Feeds a text to the configuration file's parser. A malformed text must come back as a
// ConfigError; the definitions of a text it accepts, written by the writer and read back, must be
// the same definitions, and the text written from them must be the same text.
#include <config/config_file.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace config = agentclient::config;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    config::Definitions definitions;
    try {
        definitions = config::ParseConfig(std::string_view(reinterpret_cast<const char *>(data), size));
    } catch (const config::ConfigError &) {
        return 0;
    }
    const std::string text              = config::FormatConfig(definitions);
    const config::Definitions read_back = config::ParseConfig(text);
    if (read_back != definitions || config::FormatConfig(read_back) != text) {
        std::abort();
    }
    return 0;
}
