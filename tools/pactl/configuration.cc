#include "configuration.h"

#include "failure.h"

#include <fstream>

namespace patools {

agentclient::config::Definitions ReadConfiguration(const std::filesystem::path &path)
{
    // The agent's loader takes a missing file for an empty one; here it is a mistake.
    if (!std::ifstream(path)) {
        throw UsageError("cannot read " + path.string());
    }
    try {
        return agentclient::config::LoadConfig(path);
    } catch (const std::exception &error) {
        throw UsageError(path.string() + ": " + error.what());
    }
}

}  // namespace patools
