// The configuration file carries every text byte for byte: random definitions written by the
// client library's writer read back equal, and writing what was read gives the same file.
// Fixed cases pin the escapes, files written before backslashes were escaped, the layout of a
// plain file, and the refusal of a text the file cannot carry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <sstream>

#include "core/config_file.h"

namespace fs = std::filesystem;
using namespace paagent;
using testing::HasSubstr;

namespace {

// Random definitions as the agent could hold them: process names unique in the file, each
// process with one definition however many services hold it, and texts over every byte but
// zero, weighted towards the bytes the file format gives a meaning to.
class Generator {
public:
    explicit Generator(std::uint32_t seed) : random_(seed) {}

    Definitions definitions()
    {
        std::vector<ProcessSpec> processes(below(9));
        for (auto &process : processes)
            process = random_process();
        Definitions definitions;
        definitions.services.resize(below(6));
        for (auto &service : definitions.services)
            service = random_service(processes);
        definitions.routes.resize(below(5));
        for (auto &route : definitions.routes)
            route = {random_text(), random_text()};
        return definitions;
    }

private:
    static constexpr char kMeaningful[] = {'\'', '\\', '\t', '\n', '#', '{', '}', '=', ' '};

    std::size_t below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_); }
    bool one_in(std::size_t n) { return below(n) == 0; }
    std::int32_t integer()
    {
        using Limits = std::numeric_limits<std::int32_t>;
        return std::uniform_int_distribution<std::int32_t>(Limits::min(), Limits::max())(random_);
    }

    char random_byte()
    {
        switch (below(4)) {
        case 0: return kMeaningful[below(std::size(kMeaningful))];
        case 1: return static_cast<char>(0x80 + below(0x80));
        default: return static_cast<char>(1 + below(255));
        }
    }

    // Mostly short, sometimes long, now and then ending in a backslash.
    std::string random_text()
    {
        std::string text(below(one_in(20) ? 8193 : 65), '\0');
        for (char &c : text)
            c = random_byte();
        if (one_in(8))
            text += '\\';
        return text;
    }

    std::optional<std::string> random_message()
    {
        if (one_in(3))
            return std::nullopt;
        return random_text();
    }

    // Names and commands are never empty: a file holding an empty one is refused.
    std::string random_filled_text()
    {
        std::string text = random_text();
        return text.empty() ? std::string(1, random_byte()) : text;
    }

    std::string unique_name()
    {
        std::string name = random_filled_text();
        while (!names_.insert(name).second)
            name += random_byte();
        return name;
    }

    ProcessSpec random_process()
    {
        ProcessSpec process;
        process.name            = unique_name();
        process.host            = random_text();
        process.command         = random_filled_text();
        process.euid            = integer();
        process.managed         = one_in(2);
        process.restart_message = random_message();
        process.alert_message   = random_message();
        process.retry_count     = integer();
        process.type            = static_cast<ProcessType>(below(3));
        return process;
    }

    MemberValue random_value()
    {
        switch (below(3)) {
        case 0: return MemberValue{};
        case 1: return integer();
        default: return random_text();
        }
    }

    // A service holding a random selection of the processes of pool, in random order.
    ServiceSpec random_service(std::vector<ProcessSpec> pool)
    {
        ServiceSpec service;
        service.name  = random_filled_text();
        service.type  = static_cast<std::int32_t>(one_in(2) ? ServiceType::Master : ServiceType::NonMaster);
        service.start = static_cast<std::int32_t>(one_in(2) ? ServiceStart::Auto : ServiceStart::NonAuto);
        std::shuffle(pool.begin(), pool.end(), random_);
        pool.resize(below(pool.size() + 1));
        for (auto &process : pool)
            service.members.push_back({std::move(process), random_value()});
        return service;
    }

    std::mt19937 random_;
    std::set<std::string> names_;
};

// What reading gives back: a message that is exactly the blank written for an absent one reads
// as absent.
Definitions as_read(Definitions definitions)
{
    auto absent_blank = [](std::optional<std::string> &message) {
        if (message == " ")
            message.reset();
    };
    for (auto &service : definitions.services) {
        for (auto &member : service.members) {
            absent_blank(member.process.restart_message);
            absent_blank(member.process.alert_message);
        }
    }
    return definitions;
}

std::size_t first_difference(const std::string &a, const std::string &b)
{
    return static_cast<std::size_t>(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin());
}

// Why one generated case does not round-trip, or nothing when it does.
std::string round_trip_fault(const Definitions &generated)
{
    const std::string written = format_config(generated);
    Definitions read;
    try {
        read = parse_config(written);
    } catch (const ConfigError &error) {
        return std::string("the written file is refused: ") + error.what();
    }
    const Definitions expected = as_read(generated);
    if (read.services != expected.services)
        return "the services read differ from those written";
    if (read.routes != expected.routes)
        return "the routes read differ from those written";
    const std::string rewritten = format_config(read);
    if (rewritten != written) {
        const std::size_t at = first_difference(written, rewritten);
        return "rewriting what was read changes the file at byte " + std::to_string(at);
    }
    return {};
}

TEST(ConfigRoundTrip, RandomDefinitionsReadBackAndRewriteIdentically)
{
    constexpr std::uint32_t kSeed  = 0x5eed2024;
    constexpr std::uint32_t kCases = 3000;
    for (std::uint32_t index = 0; index < kCases; ++index) {
        const std::string fault = round_trip_fault(Generator(kSeed + index).definitions());
        ASSERT_EQ(fault, "") << "seed " << kSeed << " + case " << index;
    }
}

// One of each record, every text the same: a service and its member process, and a route.
Definitions holding(const std::string &text)
{
    ProcessSpec process;
    process.name            = text;
    process.host            = text;
    process.command         = text;
    process.restart_message = text;
    process.alert_message   = text;
    ServiceSpec service;
    service.name    = text;
    service.members = {{process, text}};
    return {{service}, {{text, text}}};
}

struct Escape {
    const char *what;
    std::string text;
    std::string quoted;  // as written in the file
};

TEST(ConfigRoundTrip, TextsAreWrittenEscapedAndReadBack)
{
    const Escape cases[] = {
        {"trailing backslash", "echo trailing \\", "'echo trailing \\\\'"},
        {"backslash apostrophe", "a\\'b", "'a\\\\\\'b'"},
        {"apostrophes", "it's 'quoted'", "'it\\'s \\'quoted\\''"},
        {"backslashes", "C:\\dir\\\\file", "'C:\\\\dir\\\\\\\\file'"},
        {"line ends and tabs", "a\tb\nc\n", "'a\tb\nc\n'"},
        {"punctuation", "#{}= x", "'#{}= x'"},
    };
    for (const auto &escape : cases) {
        const std::string written = format_config(holding(escape.text));
        EXPECT_THAT(written, HasSubstr("\tCommand " + escape.quoted + " run as 0\n")) << escape.what;
        const Definitions read = parse_config(written);
        EXPECT_EQ(read.services, holding(escape.text).services) << escape.what;
        EXPECT_EQ(read.routes, holding(escape.text).routes) << escape.what;
    }
}

struct OldText {
    const char *quoted;  // as an earlier writer put it in the file
    const char *text;
};

TEST(ConfigRoundTrip, FilesWrittenBeforeBackslashesWereEscapedReadAsBefore)
{
    const OldText cases[] = {
        {"'C:\\dir\\file'", "C:\\dir\\file"},
        {"'it\\'s'", "it's"},
        {"'\\n is not a line end'", "\\n is not a line end"},
        {"' '", " "},
    };
    for (const auto &old : cases) {
        const Definitions read = parse_config("#ZEB_PA3\nzeb_process 'p'\n{\n\tCommand " + std::string(old.quoted) +
                                              " run as 0\n}\nzeb_service 's'\n{\n\tprocess 'p' NONE\n}\n");
        EXPECT_EQ(read.services.at(0).members.at(0).process.command, old.text) << old.quoted;
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
Definitions plain()
{
    ProcessSpec web{"web",        "node1", "httpd -f /etc/httpd.conf", 1000, true, "restarting web",
                    std::nullopt, 3,       ProcessType::PaAware};
    ProcessSpec db{"db", " ", " ", 0, false, "", "db is down", -1, ProcessType::Daemon};
    ServiceSpec front{"front",
                      static_cast<std::int32_t>(ServiceType::Master),
                      static_cast<std::int32_t>(ServiceStart::Auto),
                      {{web, std::int32_t{-42}}, {db, std::string("a text")}}};
    ServiceSpec back{"back",
                     static_cast<std::int32_t>(ServiceType::NonMaster),
                     static_cast<std::int32_t>(ServiceStart::NonAuto),
                     {{db, MemberValue{}}}};
    return {{front, back}, {{"hostA", "PASRV"}}};
}

TEST(ConfigRoundTrip, APlainFileIsWrittenAndReadByteForByte)
{
    EXPECT_EQ(format_config(plain()), kPlainFile);
    const Definitions read = parse_config(kPlainFile);
    EXPECT_EQ(read.services, plain().services);
    EXPECT_EQ(read.routes, plain().routes);
}

class ConfigSaveTest : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "paagent-round-trip-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path path() const { return dir_ / "pa.cfg"; }
    std::string contents() const
    {
        std::ifstream file(path(), std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

    fs::path dir_;
};

const std::string kZeroByte("x\0y", 3);

struct Unwritable {
    void (*put)(Definitions &);  // puts kZeroByte in one text
    const char *named;           // the record and attribute the refusal names
};

TEST_F(ConfigSaveTest, ATextWithAZeroByteIsRefusedAndTheFileIsUntouched)
{
    const Unwritable cases[] = {
        {[](Definitions &d) { d.services[0].members[0].process.name = kZeroByte; }, "process 'x\\0y': its name"},
        {[](Definitions &d) { d.services[0].members[0].process.host = kZeroByte; }, "process 'web': its host"},
        {[](Definitions &d) { d.services[0].members[1].process.command = kZeroByte; }, "process 'db': its command"},
        {[](Definitions &d) { d.services[0].members[0].process.restart_message = kZeroByte; },
         "process 'web': its restart message"},
        {[](Definitions &d) { d.services[1].members[0].process.alert_message = kZeroByte; },
         "process 'db': its alert message"},
        {[](Definitions &d) { d.services[0].members[1].value = kZeroByte; },
         "service 'front': its value for process 'db'"},
        {[](Definitions &d) { d.services[1].name = kZeroByte; }, "service 'x\\0y': its name"},
        {[](Definitions &d) { d.routes[0].host = kZeroByte; }, "route 'x\\0y' to 'PASRV': its host name"},
        {[](Definitions &d) { d.routes[0].server = kZeroByte; }, "route 'hostA' to 'x\\0y': its server name"},
    };
    save_config(path(), plain());
    for (const auto &unwritable : cases) {
        Definitions definitions = plain();
        unwritable.put(definitions);
        try {
            save_config(path(), definitions);
            ADD_FAILURE() << "saved with a zero byte in " << unwritable.named;
        } catch (const std::runtime_error &error) {
            EXPECT_THAT(error.what(), HasSubstr(unwritable.named));
            EXPECT_THAT(error.what(), HasSubstr("zero byte"));
        }
        EXPECT_EQ(contents(), kPlainFile) << unwritable.named;
        EXPECT_FALSE(fs::exists(dir_ / "pa.cfg.tmp")) << unwritable.named;
    }
}

}  // namespace
