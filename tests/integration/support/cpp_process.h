// Process definitions and refusals of the C++ API for the tests.
#ifndef AGENTCLIENT_TESTS_CPPPROCESS_H
#define AGENTCLIENT_TESTS_CPPPROCESS_H

#include <agentclient/agentclient.hpp>

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

// A process of host that runs for 30 seconds as the user of the test.
inline agentclient::Process Sleeper(const std::string &name, const std::string &host = "localhost")
{
    agentclient::Process process;
    process.name    = name;
    process.host    = host;
    process.command = "exec sleep 30";
    process.euid    = static_cast<std::int32_t>(getuid());
    return process;
}

// Runs action and returns the Error it throws; fails the test when it throws none.
template <class Action>
agentclient::Error Refusal(Action action)
{
    try {
        action();
    } catch (const agentclient::Error &error) {
        return error;
    }
    ADD_FAILURE() << "no error thrown";
    return agentclient::Error("none", PaSUCCESS);
}

#endif
