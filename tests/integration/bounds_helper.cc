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

constexpr int32_t kTimeOut = 2;
// The time-out, the library's margin and room for a loaded machine.
constexpr auto kBound = std::chrono::milliseconds((kTimeOut + 1) * 1000 + 1500);

// The functions used, found in one loaded copy of the library.
struct Library {
    decltype(&PaConnectCreate) create;
    decltype(&PaSetResultsTimeOut) set_time_out;
    decltype(&PaConnect) connect;
    decltype(&PaServerGetVersionNo) version;
    decltype(&PaConnectDestroy) destroy;
    decltype(&PaSetUserLoggerFunc) set_logger;

    explicit Library(void *loaded)
        : create(Find<decltype(create)>(loaded, "PaConnectCreate")),
          set_time_out(Find<decltype(set_time_out)>(loaded, "PaSetResultsTimeOut")),
          connect(Find<decltype(connect)>(loaded, "PaConnect")),
          version(Find<decltype(version)>(loaded, "PaServerGetVersionNo")),
          destroy(Find<decltype(destroy)>(loaded, "PaConnectDestroy")),
          set_logger(Find<decltype(set_logger)>(loaded, "PaSetUserLoggerFunc"))
    {
    }

    template <class Function>
    static Function Find(void *loaded, const char *name)
    {
        return reinterpret_cast<Function>(dlsym(loaded, name));
    }
};

int Fail(const char *what)
{
    std::fprintf(stderr, "bounds_helper: %s\n", what);
    return 1;
}

// Connects to server with the test time-out, then asks for the version when asked to: whether
// the connect failed, or when asked succeeded and the question failed, within the bound.
bool FailsInTime(const Library &api, const char *server, bool ask)
{
    PaConnection *handle = api.create(server, "bounds-helper", "operator", "e2e-secret");
    if (handle == nullptr || api.set_time_out(handle, kTimeOut) != PaSUCCESS) {
        return false;
    }
    Clock::time_point start = Clock::now();
    bool connected          = api.connect(handle) == PaSUCCESS;
    int32_t major = 0, minor = 0;
    bool failed  = ask && connected ? api.version(handle, &major, &minor) != PaSUCCESS : !connected;
    bool in_time = Clock::now() - start < kBound;
    api.destroy(handle);
    return failed && in_time && connected == ask;
}

std::string logged;

void Collect(int32_t, const char *text, const char *, void *)
{
    logged += text;
    logged += '\n';
}

int Unload(const char *path, const char *server)
{
    void *loaded = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (loaded == nullptr || !FailsInTime(Library(loaded), server, false)) {
        return Fail("the first login did not end in time");
    }
    dlclose(loaded);
    void *still = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (still == nullptr) {
        return Fail("dlclose unloaded the library");
    }
    return FailsInTime(Library(still), server, false) ? 0 : Fail("the login after dlclose did not end in time");
}

int Blind(const char *path, const char *server)
{
    void *loaded = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (loaded == nullptr) {
        return Fail("cannot load the library");
    }
    Library api(loaded);
    api.set_logger(&Collect, nullptr, nullptr);
    if (!FailsInTime(api, server, true)) {
        return Fail("the reply did not end in time");
    }
    return logged.find("/proc/self/fd") != std::string::npos ? 0 : Fail(("no word of /proc in: " + logged).c_str());
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        return Fail("usage: bounds_helper unload|blind LIBRARY SERVER");
    }
    if (std::strcmp(argv[1], "unload") == 0) {
        return Unload(argv[2], argv[3]);
    }
    return std::strcmp(argv[1], "blind") == 0 ? Blind(argv[2], argv[3]) : Fail("unknown mode");
}
