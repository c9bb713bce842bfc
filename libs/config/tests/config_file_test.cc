// The configuration file carries every text byte for byte: random definitions written by the
// client library's writer read back equal, and writing what was read gives the same file.
// Fixed cases pin the layout, files written before backslashes were escaped,
// the refusal of a file the agent cannot read (with its line) or of a text the file cannot
// carry; how a file is replaced is atomic_file_test's.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <random>
#include <set>

#include "config/config_file.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace agentclient;
using namespace agentclient::config;
using namespace std::string_literals;
using ::testing::HasSubstr;

namespace {

// Random definitions as the agent could hold them: process names unique in the file, each
// process with one definition however many services hold it, and texts over every byte but
// zero, weighted towards the bytes the file format gives a meaning to.
class Generator {
public:
    explicit Generator(std::uint32_t seed) : random_(seed) {}

    Definitions Generate()
    {
        std::vector<Process> processes(Below(9));
        for (auto &process : processes) {
            process = {UniqueName(), Text(),
                       FilledText(), Integer(),
                       OneIn(2),     0,
                       Message(),    Message(),
                       Integer(),    static_cast<ProcessType>(Below(3))};
        }
        Definitions definitions;
        definitions.services.resize(Below(6));
        for (auto &service : definitions.services) {
            service = RandomService(processes);
        }
        definitions.routes.resize(Below(5));
        for (auto &route : definitions.routes) {
            route = {Text(), Text()};
        }
        return definitions;
    }

private:
    std::size_t Below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_); }
    bool OneIn(std::size_t n) { return Below(n) == 0; }
    std::int32_t Integer() { return static_cast<std::int32_t>(random_()); }
    char Byte()
    {
        static constexpr char kMeaningful[] = {'\'', '\\', '\t', '\n', '#', '{', '}', '=', ' '};
        switch (Below(4)) {
        case 0: return kMeaningful[Below(std::size(kMeaningful))];
        case 1: return static_cast<char>(0x80 + Below(0x80));
        default: return static_cast<char>(1 + Below(255));
        }
    }
    // Mostly short, sometimes long, now and then ending in a backslash.
    std::string Text()
    {
        std::string text(Below(OneIn(20) ? 8193 : 65), '\0');
        for (char &c : text) {
            c = Byte();
        }
        return OneIn(8) ? text + '\\' : text;
    }
    // A message that is exactly the blank written for an absent one reads as absent.
    std::optional<std::string> Message()
    {
        std::string message = Text();
        return OneIn(3) || message == " " ? std::nullopt : std::optional(message);
    }
    // Names and commands are never empty: a file holding an empty one is refused.
    std::string FilledText() { return Byte() + Text(); }
    std::string UniqueName()
    {
        std::string name = FilledText();
        while (!names_.insert(name).second) {
            name += Byte();
        }
        return name;
    }
    // A service holding a random selection of the processes of pool, in random order.
    Service RandomService(std::vector<Process> pool)
    {
        Service service;
        service.name  = FilledText();
        service.type  = OneIn(2) ? ServiceType::kMaster : ServiceType::kNonMaster;
        service.start = OneIn(2) ? ServiceStart::kAuto : ServiceStart::kNonAuto;
        std::shuffle(pool.begin(), pool.end(), random_);
        pool.resize(Below(pool.size() + 1));
        for (auto &process : pool) {
            const std::size_t kind = Below(3);
            service.members.push_back({std::move(process), kind == 0   ? MemberValue{}
                                                           : kind == 1 ? MemberValue(Integer())
                                                                       : MemberValue(Text())});
        }
        return service;
    }

    std::mt19937 random_;
    std::set<std::string> names_;
};

TEST(ConfigRoundTrip, RandomDefinitionsReadBackAndRewriteIdentically)
{
    constexpr std::uint32_t kSeed = 0x5eed2024;
    for (std::uint32_t index = 0; index < 3000; ++index) {
        SCOPED_TRACE("seed " + std::to_string(kSeed) + " + case " + std::to_string(index));
        const Definitions generated = Generator(kSeed + index).Generate();
        const std::string written   = FormatConfig(generated);
        Definitions read;
        ASSERT_NO_THROW(read = ParseConfig(written));
        ASSERT_EQ(read.services, generated.services);
        ASSERT_EQ(read.routes, generated.routes);
        ASSERT_EQ(FormatConfig(read), written);
    }
}

TEST(ConfigFile, FilesWrittenBeforeBackslashesWereEscapedReadAsBefore)
{
    const std::pair<const char *, const char *> cases[] = {
        {"'C:\\dir\\file'", "C:\\dir\\file"},
        {"'it\\'s'", "it's"},
        {"'\\n is not a line end'", "\\n is not a line end"},
    };
    for (const auto &[quoted, text] : cases) {
        const Definitions read = ParseConfig("#ZEB_PA3\nzeb_process 'p'\n{\n\tCommand " + std::string(quoted) +
                                             " run as 0\n}\nzeb_service 's'\n{\n\tprocess 'p' NONE\n}\n");
        EXPECT_EQ(read.services.at(0).members.at(0).process.command, text) << quoted;
    }
}

const std::string kPlainFile =
    "#ZEB_PA3\n#\n# Process Agent Daemon Configuration File 1.1\n#\n"
    "\n#\n# List of processes\n#\n"
    "zeb_process 'web'\n{\n\tCommand 'httpd -f /etc/httpd.conf' run as 1000\n\tHost\t\t=\t'node1'\n"
    "\tManaged\t\t=\tTrue\n\tRestartMsg\t=\t'restarting web'\n\tAlertMsg\t=\t' '\n\tRetryCount\t=\t3\n"
    "\tProcessType\t=\tPaPA_AWARE\n}\n\n"
    "zeb_process 'db'\n{\n\tCommand ' ' run as 0\n\tHost\t\t=\t' '\n\tManaged\t\t=\tFalse\n"
    "\tRestartMsg\t=\t''\n\tAlertMsg\t=\t'db is down'\n\tRetryCount\t=\t-1\n\tProcessType\t=\tPaDAEMON_PROCESS\n}\n\n"
    "zeb_process 'db'\n{\n\tCommand ' ' run as 0\n\tHost\t\t=\t' '\n\tManaged\t\t=\tFalse\n"
    "\tRestartMsg\t=\t''\n\tAlertMsg\t=\t'db is down'\n\tRetryCount\t=\t-1\n\tProcessType\t=\tPaDAEMON_PROCESS\n}\n\n"
    "\n#\n# List of Services\n#\n"
    "zeb_service 'front'\n{\n\tServiceType\t=\tMaster\n\tServiceStart\t=\tAuto\n"
    "\tprocess 'web' -42\n\tprocess 'db' 'a text'\n}\n\n"
    "zeb_service 'back'\n{\n\tServiceType\t=\tNon-Master\n\tServiceStart\t=\tNon-Auto\n\tprocess 'db' NONE\n}\n\n"
    "\n#\n# ROUTING TABLE\n#\n"
    "zeb_routing\n{\n\thost 'hostA' 'PASRV'\n}\n\n";

// What kPlainFile holds; the blank host and command of db are texts, kept as they are.
Definitions Plain()
{
    Process web{"web",        "node1", "httpd -f /etc/httpd.conf", 1000, true, 0, "restarting web",
                std::nullopt, 3,       ProcessType::kPaAware};
    Process db{"db", " ", " ", 0, false, 0, "", "db is down", -1, ProcessType::kDaemon};
    Service front{
        "front", ServiceType::kMaster, ServiceStart::kAuto, {{web, std::int32_t{-42}}, {db, std::string("a text")}}};
    Service back{"back", ServiceType::kNonMaster, ServiceStart::kNonAuto, {{db, MemberValue{}}}};
    return {{front, back}, {{"hostA", "PASRV"}}};
}

TEST(ConfigFile, AFileTheAgentCannotReadIsRefusedWithItsLine)
{
    const std::tuple<std::string, int, const char *> cases[] = {
        {"# some other file\n", 1, "#ZEB_PA3"},
        {"#ZEB_PA3\nzeb_thing 'x'\n{\n}\n", 2, "unknown block 'zeb_thing'"},
        {"#ZEB_PA3\nzeb_process 'p'\n{\n\tCommand 'a \\' run as 0\n}\n", 4, "unterminated"},
        {"#ZEB_PA3\nzeb_process 'p'\n{\n\tCommand 'a\0b' run as 0\n}\n"s, 4, "zero byte"},
        {"#ZEB_PA3\nzeb_process 'two\nlines'\n{\n\tRetryCount\t=\tmany\n}\n", 5, "expected a number"},
        {"#ZEB_PA3\nzeb_service 's'\n{\n\tprocess 'ghost' NONE\n}\n", 4, "undefined process ghost"},
        {"#ZEB_PA3\nzeb_routing\n{\n\thost 'a'\n}\n", 5, "expected a quoted text"},
        {"#ZEB_PA3\n\nzeb_process 'p0-0'\n{\n\tHost = 'h'\n}\n", 3, "process p0-0 has no command"},
        {"#ZEB_PA3\nzeb_process 'p' { Command 'x' run as 0 }\n# between blocks\nzeb_service 's'\n{\n"
         "\tprocess 'p' NONE\n\tprocess 'p' 3\n}\n",
         7, "service s lists process p twice"},
    };
    for (const auto &[text, line, reason] : cases) {
        SCOPED_TRACE(reason);
        try {
            ParseConfig(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const ConfigError &error) {
            EXPECT_EQ(error.Line(), line) << error.what();
            EXPECT_THAT(error.what(), HasSubstr(reason));
        }
    }
}

class ConfigSave : public ::testing::Test {
protected:
    fs::path Path() const { return dir_.Path() / "pa.cfg"; }
    std::string Contents() const
    {
        std::ifstream file(Path(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    TempDir dir_;
};

// The file is written byte for byte and reads back; a missing one holds nothing.
TEST_F(ConfigSave, APlainFileIsWrittenByteForByteAndReadsBack)
{
    EXPECT_EQ(LoadConfig(Path()).services.size(), 0u);
    SaveConfig(Path(), Plain());
    EXPECT_EQ(Contents(), kPlainFile);
    EXPECT_EQ(LoadConfig(Path()), Plain());
}

// A text with a zero byte, which the file cannot carry, is refused naming its record, before
// anything is written.
TEST_F(ConfigSave, ATextTheFileCannotCarryIsRefusedAndTheFileLeftAsItWas)
{
    const std::pair<void (*)(Definitions &), const char *> cases[] = {
        {[](Definitions &d) { d.services[0].members[0].process.name = "x\0y"s; }, "process 'x\\0y': its name"},
        {[](Definitions &d) { d.services[1].members[0].process.alert_message = "x\0y"s; },
         "process 'db': its alert message"},
        {[](Definitions &d) { d.services[0].members[1].value = "x\0y"s; },
         "service 'front': its value for process 'db'"},
        {[](Definitions &d) { d.routes[0].server = "x\0y"s; }, "route 'hostA' to 'x\\0y': its server name"},
    };
    SaveConfig(Path(), Plain());
    for (const auto &[put, named] : cases) {
        SCOPED_TRACE(named);
        Definitions definitions = Plain();
        put(definitions);
        try {
            SaveConfig(Path(), definitions);
            ADD_FAILURE() << "saved with a zero byte";
        } catch (const std::runtime_error &error) {
            EXPECT_THAT(error.what(), HasSubstr(named));
            EXPECT_THAT(error.what(), HasSubstr("zero byte"));
        }
        EXPECT_EQ(Contents(), kPlainFile);
        EXPECT_FALSE(fs::exists(dir_.Path() / "pa.cfg.tmp"));
    }
}

}  // namespace
