// Runs the built pactl as an administrator would: a process of its own, with its environment
// set, its output captured and its run bounded in time.
#ifndef PACTL_TESTS_PACTL_RUN_H
#define PACTL_TESTS_PACTL_RUN_H

#include <chrono>
#include <string>
#include <vector>

struct PactlRun {
    int status = -1;  // the exit status, or -1 when pactl was killed at the time limit
    std::string out;
    std::string err;
};

// Runs pactl with args, standard input /dev/null and this process's environment (VTHOME naming
// the test family home) less any PA_ variable, plus PA_USER and PA_PASSWORD of the test login,
// plus environment (NAME=VALUE each, later ones winning). Killed, and the test failed, after
// limit. With interrupt_after, pactl gets SIGINT (Ctrl-C) once its standard output holds that text.
PactlRun RunPactl(const std::vector<std::string> &args, const std::vector<std::string> &environment = {},
                  std::chrono::seconds limit = std::chrono::seconds(20), const std::string &interrupt_after = {});

#endif
