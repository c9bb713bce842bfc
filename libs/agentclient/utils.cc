// Environment and utility functions: installation homes, platform name, version text,
// interfaces file path, user name and password prompt.
#include "utils.h"
#include "memory.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <nl_types.h>
#include <pwd.h>
#include <termios.h>
#include <unistd.h>

// Absolute, so that no program takes its server directory or FreeTDS settings (which decide
// where a password goes) from the directory it happens to run in. The family home holds those
// settings, so it is under /etc; the product home holds what the product installs, which the
// package owns, so it is under /usr/lib.
#ifndef PA_DEFAULT_KOVAHOME
#  define PA_DEFAULT_KOVAHOME "/usr/lib/agentclient"
#endif
#ifndef PA_DEFAULT_VTHOME
#  define PA_DEFAULT_VTHOME "/etc/agentclient"
#endif

namespace {

#if defined(_WIN32)
constexpr const char *kArch              = "win32";
constexpr const char *kInterfacesPattern = "%s/ini/sql.ini";
#else
constexpr const char *kArch              = "linux";
constexpr const char *kInterfacesPattern = "%s/interfaces";
#endif
constexpr const char *kVersionFallback = "PA API Library";
constexpr const char *kCatalogPattern  = "%s/locales/%s/messages.cat";
constexpr int kVersionSet              = 4;
constexpr int kVersionMessage          = 1;
constexpr const char *kPasswordPrompt  = "Password: ";
constexpr size_t kPasswordCapacity     = 4096;

nl_catd messages = reinterpret_cast<nl_catd>(-1);
char version_text[256];

const char *EnvironmentOr(const char *name, const char *fallback)
{
    const char *value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

bool CatalogOpen() { return messages != reinterpret_cast<nl_catd>(-1); }

// Opens the message catalog once; a failed open is tried again at the next call.
void OpenCatalog()
{
    const char *home = PaGetVthome();
    if (home == nullptr) {
        return;
    }
    char path[PATH_MAX];
    int length = std::snprintf(path, sizeof path, kCatalogPattern, home, kArch);
    if (length < 0 || static_cast<size_t>(length) >= sizeof path) {
        return;
    }
    messages = catopen(path, NL_CAT_LOCALE);
}

// Terminal used by the password prompt: /dev/tty when there is one, else standard input
// for reading and standard error for the prompt.
class PromptTerminal {
public:
    PromptTerminal()
    {
        tty_    = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
        input_  = tty_ >= 0 ? tty_ : STDIN_FILENO;
        output_ = tty_ >= 0 ? tty_ : STDERR_FILENO;
        if (tcgetattr(input_, &saved_) == 0) {
            termios quiet = saved_;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            echo_off_ = tcsetattr(input_, TCSAFLUSH, &quiet) == 0;
        }
    }
    ~PromptTerminal()
    {
        if (echo_off_) {
            tcsetattr(input_, TCSAFLUSH, &saved_);
            Write("\n");
        }
        if (tty_ >= 0) {
            close(tty_);
        }
    }
    PromptTerminal(const PromptTerminal &)            = delete;
    PromptTerminal &operator=(const PromptTerminal &) = delete;

    void Write(const char *text) const
    {
        size_t left = std::strlen(text);
        while (left > 0) {
            ssize_t written = write(output_, text, left);
            if (written <= 0) {
                return;
            }
            text += written;
            left -= static_cast<size_t>(written);
        }
    }

    // Reads one line into line (capacity bytes, always terminated); characters past the
    // capacity are read and dropped. Ends at a line end, end of input or an error.
    void ReadLine(char *line, size_t capacity) const
    {
        size_t length = 0;
        char c        = 0;
        while (ReadChar(&c) && c != '\n') {
            if (length + 1 < capacity) {
                line[length++] = c;
            }
        }
        if (length > 0 && line[length - 1] == '\r') {
            --length;
        }
        line[length] = '\0';
        explicit_bzero(&c, sizeof c);
    }

private:
    // A signal arriving while the user types does not end the prompt.
    bool ReadChar(char *c) const
    {
        for (;;) {
            ssize_t got = read(input_, c, 1);
            if (got == 1) {
                return true;
            }
            if (got < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
    }

    int tty_    = -1;
    int input_  = STDIN_FILENO;
    int output_ = STDERR_FILENO;
    termios saved_{};
    bool echo_off_ = false;
};

}  // namespace

const char *PaGetVthome(void)
{
    const char *home = EnvironmentOr("VTHOME", PA_DEFAULT_VTHOME);
    return home[0] == '/' ? home : nullptr;
}

extern "C" {

const char *PaGetKovahome(void) { return EnvironmentOr("KOVAHOME", PA_DEFAULT_KOVAHOME); }

const char *PaGetArch(void) { return kArch; }

const char *PaGetVersionString(void)
{
    if (!CatalogOpen()) {
        OpenCatalog();
    }
    if (!CatalogOpen()) {
        return kVersionFallback;
    }
    const char *text = catgets(messages, kVersionSet, kVersionMessage, nullptr);
    if (text == nullptr) {
        return kVersionFallback;
    }
    std::snprintf(version_text, sizeof version_text, "%s", text);
    return version_text;
}

int32_t PaGetInterfacesFilePath(char *buffer, size_t size)
{
    const char *home = PaGetVthome();
    if (buffer == nullptr || home == nullptr) {
        return -1;
    }
    int length = std::snprintf(buffer, size, kInterfacesPattern, home);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        return -1;
    }
    return length;
}

char *PaGetSystemUserName(void)
{
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    size_t size    = suggested > 0 ? static_cast<size_t>(suggested) : 16384;
    for (;;) {
        pa::Owned<char> scratch(static_cast<char *>(PaMalloc(size)));
        if (scratch == nullptr) {
            return nullptr;
        }
        passwd entry{};
        passwd *found = nullptr;
        int error     = getpwuid_r(geteuid(), &entry, scratch.get(), size, &found);
        if (error == ERANGE && size < (size_t{1} << 20)) {
            size *= 2;
            continue;
        }
        if (error != 0 || found == nullptr) {
            return nullptr;
        }
        return PaStrDup(found->pw_name);
    }
}

char *PaPromptPassword(void)
{
    char line[kPasswordCapacity];
    {
        PromptTerminal terminal;
        terminal.Write(kPasswordPrompt);
        terminal.ReadLine(line, sizeof line);
    }
    char *password = PaStrDup(line);
    explicit_bzero(line, sizeof line);
    return password;
}

void PaHideCmdlinePassword(void) {}

}  // extern "C"
