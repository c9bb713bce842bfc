// The checks directory: one NAME.conf of "key = value" lines for each process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <optional>

#include "core/check_settings.h"
#include "support/temp_dir.h"

namespace paagent {
namespace {

using namespace std::chrono_literals;

CheckSettings With(const std::function<void(CheckSettings &)> &change)
{
    CheckSettings settings;
    change(settings);
    return settings;
}

// Each file gives its settings, its defaults where a key is missing, or is refused with its
// line and why; only PROCESS.conf files are read, and only when only their owner may write them.
TEST(ChecksDirectory, AFileGivesItsSettingsOrIsRefusedWithItsLine)
{
    struct Case {
        std::string file;
        std::string text;
        std::optional<CheckSettings> expected;  // none when refused or ignored
        std::string shown;                      // the refusal or warning, after the file's path
        int mode = 0644;
    };
    const Case cases[] = {
        {"web.conf",
         "# every key\n\n  ready = check  \nstart-timeout=45.5\ncheck = http://[::1]:8080/health?full=1\n"
         "interval = 0.5\ntimeout = 2\nfailures = 5\nstart-period = 10\nrestart-unhealthy = no\n",
         With([](CheckSettings &s) {
             s.ready             = ReadyBy::kCheck;
             s.start_timeout     = 45'500ms;
             s.probe             = HttpCheck{"::1", 8080, "/health?full=1"};
             s.interval          = 500ms;
             s.timeout           = 2s;
             s.failures          = 5;
             s.start_period      = 10s;
             s.restart_unhealthy = false;
         }),
         ": start-timeout is 46 s, longer than a client waits for a reply unless told (30 s): give the starts of web "
         "and of its services a longer time-out, e.g. pactl --timeout 56"},
        {"web.conf", "check = http://localhost", With([](CheckSettings &s) {
             s.probe = HttpCheck{"localhost", 80, "/"};
         }),
         ""},
        {"db.conf", "check = tcp:127.0.0.1:5432\nready = notify", With([](CheckSettings &s) {
             s.probe = TcpCheck{"127.0.0.1", 5432};
             s.ready = ReadyBy::kNotify;
         }),
         ""},
        {"web.conf", "check = exec: test $# -eq 0 # no arguments",
         With([](CheckSettings &s) { s.probe = ExecCheck{"test $# -eq 0 # no arguments"}; }), ""},
        {"web.conf", "# colours\ncolour = red", std::nullopt, ":2: unknown key 'colour'"},
        {"web.conf", "ready", std::nullopt, ":1: expected key = value"},
        {"web.conf", "interval = -1", std::nullopt, ":1: bad value '-1' for interval: "},
        {"web.conf", "timeout = 0", std::nullopt, ":1: bad value '0' for timeout: "},
        {"web.conf", "start-period = 1e3", std::nullopt, ":1: bad value '1e3' for start-period: "},
        {"web.conf", "start-period = 99999999999999999999", std::nullopt,
         ":1: bad value '99999999999999999999' for start-period: more than 86400 seconds"},
        {"web.conf", "failures = 0", std::nullopt, ":1: bad value '0' for failures: "},
        {"web.conf", "check = tcp:localhost", std::nullopt, ":1: bad value 'tcp:localhost' for check: "},
        {"db.conf", "check = tcp:db.local:5432", std::nullopt,
         ":1: bad value 'tcp:db.local:5432' for check: expected a numeric address or localhost"},
        {"web.conf", "check = tcp:::1:80", std::nullopt,
         ":1: bad value 'tcp:::1:80' for check: an IPv6 address goes within brackets"},
        {"web.conf", "failures = 2\nfailures = 3", std::nullopt, ":2: failures is given on line 1 already"},
        {"web.conf", "\nready = check", std::nullopt, ":2: ready = check needs a check"},
        {"notes.txt", "not read", std::nullopt, ": ignored: only PROCESS.conf files are read"},
        {"web.conf", "", std::nullopt, " may be written by its group", 0664},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        TempDir dir;
        const std::filesystem::path file = dir.Path() / c.file;
        std::ofstream(file) << c.text;
        std::filesystem::permissions(file, static_cast<std::filesystem::perms>(c.mode));
        try {
            const ChecksDirectory loaded = LoadChecksDirectory(dir.Path());
            ASSERT_EQ(loaded.settings.size(), c.expected ? 1u : 0u);
            if (c.expected) {
                EXPECT_EQ(loaded.settings.begin()->second, *c.expected);
                EXPECT_EQ(loaded.settings.begin()->first, file.stem());
            }
            if (!c.shown.empty()) {
                EXPECT_THAT(loaded.warnings, ::testing::ElementsAre(file.string() + c.shown));
            } else {
                EXPECT_THAT(loaded.warnings, ::testing::IsEmpty());
            }
        } catch (const std::runtime_error &error) {
            EXPECT_FALSE(c.expected) << error.what();
            EXPECT_THAT(error.what(), ::testing::HasSubstr((c.mode == 0644 ? file.string() : "") + c.shown));
        }
    }
}

}  // namespace
}  // namespace paagent
