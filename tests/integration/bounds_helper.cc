// The bounds that depend on how the library is loaded and on what its process may see, run in a
// process of their own with the shared library loaded through dlopen:
//   bounds_helper unload LIBRARY SERVER  a login that expires, dlclose, then another login: the
//                                        library stays loaded and the second login still ends
//   bounds_helper blind LIBRARY SERVER   run where /proc is hidden: the log says a login cannot
//                                        be ended, and a reply still ends within its bound
// SERVER accepts connections and answers nothing (unload) or nothing after the login (blind).
// Exits 0 when all held; otherwise a line on standard error says what did not.
#include <agentclient/pa.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

// The time-out, the library's margin and room for a loaded machine.
constexpr int32_t kTimeOut = 2;
constexpr auto kBound      = std::chrono::milliseconds((kTimeOut + 1) * 1000 + 1500);

std::string logged;

// The function name in the loaded copy of the library.
template <class Function>
Function Find(void *library, const char *name)
{
    return reinterpret_cast<Function>(dlsym(library, name));
}

// Whether, within the bound, the connect to server failed (ask false), or it succeeded and the
// version asked then failed (ask true).
bool FailsInTime(void *library, const char *server, bool ask)
{
    PaConnection *handle =
        Find<decltype(&PaConnectCreate)>(library, "PaConnectCreate")(server, "bounds-helper", "operator", "e2e-secret");
    Find<decltype(&PaSetResultsTimeOut)>(library, "PaSetResultsTimeOut")(handle, kTimeOut);
    Clock::time_point start = Clock::now();
    bool connected          = Find<decltype(&PaConnect)>(library, "PaConnect")(handle) == PaSUCCESS;
    int32_t major = 0, minor = 0;
    bool failed = !connected || Find<decltype(&PaServerGetVersionNo)>(library, "PaServerGetVersionNo")(
                                    handle, &major, &minor) != PaSUCCESS;
    bool in_time = Clock::now() - start < kBound;
    Find<decltype(&PaConnectDestroy)>(library, "PaConnectDestroy")(handle);
    return failed && in_time && connected == ask;
}

int Outcome(bool held, const std::string &otherwise)
{
    if (!held) {
        std::fprintf(stderr, "bounds_helper: %s\n", otherwise.c_str());
    }
    return held ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    void *library = argc == 4 ? dlopen(argv[2], RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (library == nullptr) {
        return Outcome(false, "usage: bounds_helper unload|blind LIBRARY SERVER");
    }
    if (std::strcmp(argv[1], "unload") == 0) {
        if (!FailsInTime(library, argv[3], false)) {
            return Outcome(false, "the first login did not end in time");
        }
        dlclose(library);
        void *still = dlopen(argv[2], RTLD_NOW | RTLD_NOLOAD);
        return Outcome(still != nullptr && FailsInTime(still, argv[3], false),
                       "dlclose unloaded the library, or the login after it did not end in time");
    }
    Find<decltype(&PaSetUserLoggerFunc)>(library, "PaSetUserLoggerFunc")(
        [](int32_t, const char *text, const char *, void *) { logged += std::string(text) + "\n"; }, nullptr, nullptr);
    return Outcome(FailsInTime(library, argv[3], true) && logged.find("/proc/self/fd") != std::string::npos,
                   "the reply did not end in time, or the log said nothing of /proc: " + logged);
}
