// Reading a whole text file.
#ifndef AGENTCLIENT_TESTS_TEXTFILE_H
#define AGENTCLIENT_TESTS_TEXTFILE_H

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// The contents of a file; empty when it cannot be read.
inline std::string ReadText(const std::filesystem::path &path)
{
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

#endif
