// A C++ program outside the tree, built against an installed agentclient: the same survey as
// consumer.c through agentclient.hpp.
#include <agentclient/agentclient.hpp>

#include <cstdlib>
#include <iostream>

namespace {

std::string Setting(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

int main()
{
    try {
        agentclient::Connection agent(Setting("PA_SERVER"), Setting("PA_USER"), Setting("PA_PASSWORD"),
                                      {.application = "consumer", .timeout = std::chrono::seconds(10)});
        agentclient::Version version = agent.GetVersion();
        std::cout << "agent " << version.major << "." << version.minor << ", " << agent.Processes().size()
                  << " processes\n";
    } catch (const agentclient::Error &error) {
        std::cerr << error.what() << "\n";
        return EXIT_FAILURE;
    }
    std::cout << "agentclient " << PA_VERSION_MAJOR << "." << PA_VERSION_MINOR << "." << PA_VERSION_PATCH << " ("
              << PA_VERSION_NUMBER << ")\n";
    return EXIT_SUCCESS;
}
