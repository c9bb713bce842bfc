// pactl: the process agent's command line, over the library's C++ API.
#include "command_line.h"
#include "errors.h"

#include <agentclient/agentclient.hpp>

#include <cstdlib>
#include <iostream>

namespace {

// The library logs its failures on standard error; pactl reports them itself, in one line, so
// the library's log is shown only when asked for.
void RouteLibraryLog(int verbosity)
{
    if (verbosity == 0) {
        agentclient::SetLogger([](std::int32_t, std::string_view) {});
        return;
    }
    agentclient::SetLogLevel(verbosity > 1 ? PaMSG_DEBUG : PaMSG_INFORMATION);
}

int Report(const patools::Explanation &explanation)
{
    std::cerr << "pactl: " << explanation.message << '\n';
    return static_cast<int>(explanation.status);
}

}  // namespace

int main(int argc, char **argv)
{
    patools::CommandLine command_line;
    try {
        command_line.Parse(argc, argv);
    } catch (const CLI::CallForHelp &request) {
        return command_line.Help(request);
    } catch (const CLI::CallForAllHelp &request) {
        return command_line.Help(request);
    } catch (const CLI::ParseError &error) {
        return Report({patools::Exit::kUsage, patools::OneLine(error.what()) + " (see pactl --help)"});
    } catch (...) {
        return Report(patools::Explain(std::current_exception()));
    }
    RouteLibraryLog(command_line.Verbosity());

    int status = 0;
    {
        patools::Session session(command_line.Login());
        try {
            status =
                static_cast<int>(command_line.Run(session, patools::Output::ToStandardOutput(command_line.AsJson())));
        } catch (...) {
            status = Report(patools::Explain(std::current_exception()));
        }
        std::cout.flush();
    }
    return status;
}
