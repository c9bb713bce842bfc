#include "configuration.h"

#include "failure.h"

#include "core/config_file.h"

#include <fstream>

namespace pactl {

Configuration ReadConfiguration(const std::filesystem::path &path)
{
    // The agent's loader takes a missing file for an empty one; here it is a mistake.
    if (!std::ifstream(path)) {
        throw UsageError("cannot read " + path.string());
    }
    paagent::Definitions definitions;
    try {
        definitions = paagent::LoadConfig(path);
    } catch (const std::exception &error) {
        throw UsageError(path.string() + ": " + error.what());
    }
    return {std::move(definitions.services), std::move(definitions.routes)};
}

}  // namespace pactl
