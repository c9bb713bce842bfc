#include "login.h"

#include "failure.h"

#include <agentclient/pa.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>

namespace patools {

namespace {

// A variable of the environment, empty when unset.
std::string Environment(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

// A text the library handed out, released with PaFree.
std::string TakeText(char *text)
{
    std::unique_ptr<char, void (*)(void *)> owned(text, PaFree);
    return owned ? std::string(owned.get()) : std::string();
}

std::string InterfacesPath()
{
    char path[PATH_MAX];
    if (PaGetInterfacesFilePath(path, sizeof path) < 0) {
        throw UsageError(
            "no interfaces file: VTHOME is not an absolute path, or the path is too long; name the agent with -S or "
            "PA_SERVER");
    }
    return path;
}

}  // namespace

std::vector<std::string> ServersInInterfaces(std::istream &file)
{
    std::vector<std::string> servers;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#' || std::isspace(static_cast<unsigned char>(line[0]))) {
            continue;
        }
        servers.push_back(line.substr(0, line.find_first_of(" \t\r")));
    }
    return servers;
}

std::string ResolveServer(const std::string &given)
{
    if (!given.empty()) {
        return given;
    }
    if (std::string server = Environment("PA_SERVER"); !server.empty()) {
        return server;
    }
    const std::string path = InterfacesPath();
    std::ifstream file(path);
    const std::vector<std::string> servers = ServersInInterfaces(file);
    if (servers.size() == 1) {
        return servers.front();
    }
    throw UsageError("no agent named: give -S NAME or set PA_SERVER (the interfaces file " + path + " lists " +
                     std::to_string(servers.size()) + " servers)");
}

std::string ResolveUser(const std::string &given)
{
    if (!given.empty()) {
        return given;
    }
    if (std::string user = Environment("PA_USER"); !user.empty()) {
        return user;
    }
    std::string login = TakeText(PaGetSystemUserName());
    if (login.empty()) {
        throw UsageError("cannot tell who you are: give -U USER or set PA_USER");
    }
    return login;
}

std::string ResolvePassword(const std::string &password_file)
{
    if (!password_file.empty()) {
        std::ifstream file(password_file);
        std::string password;
        if (!file || !std::getline(file, password)) {
            throw UsageError("cannot read a password from " + password_file);
        }
        return password;
    }
    if (const char *password = std::getenv("PA_PASSWORD"); password != nullptr) {
        return password;
    }
    return TakeText(PaPromptPassword());
}

}  // namespace patools
