// Who a tool logs in as and to which agent: the server name, the user and the password, each
// from the command line, the environment or the installation, never the password from the
// command line itself.
#ifndef PATOOLS_LOGIN_H
#define PATOOLS_LOGIN_H

#include <istream>
#include <string>
#include <vector>

namespace patools {

// The names of the servers an interfaces file lists: each entry starts with its name alone at
// the start of a line, followed by indented address lines.
std::vector<std::string> ServersInInterfaces(std::istream &file);

// The server given, else PA_SERVER, else the only entry of the interfaces file.
std::string ResolveServer(const std::string &given);
// The user given, else PA_USER, else the name of the user the tool runs as.
std::string ResolveUser(const std::string &given);
// The first line of passwordFile when one is given, else PA_PASSWORD, else what is typed at
// the terminal's prompt.
std::string ResolvePassword(const std::string &password_file);

}  // namespace patools

#endif  // PATOOLS_LOGIN_H
