// The agent's configuration file on disk: what is saved loads back, a failed save leaves the old
// file, and a file the agent cannot read is refused with its line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "core/config_file.h"

namespace fs = std::filesystem;
using namespace paagent;
using testing::HasSubstr;
using namespace std::string_literals;

namespace {

ProcessSpec process(std::string name, std::string command)
{
    ProcessSpec definition;
    definition.name    = std::move(name);
    definition.host    = "node1";
    definition.command = std::move(command);
    return definition;
}

Definitions sample()
{
    ProcessSpec web     = process("web's server", "httpd -c 'conf file' \\path");
    web.euid            = 1000;
    web.managed         = true;
    web.restart_message = "restarting web's server";
    web.retry_count     = 3;
    web.type            = ProcessType::PaAware;
    ProcessSpec db      = process("db", "postgres");
    db.alert_message    = "db is down";
    db.type             = ProcessType::Daemon;

    ServiceSpec front;
    front.name    = "front";
    front.type    = static_cast<std::int32_t>(ServiceType::Master);
    front.start   = static_cast<std::int32_t>(ServiceStart::Auto);
    front.members = {{web, std::int32_t{-42}}, {db, std::string("it's a text")}};
    ServiceSpec empty;
    empty.name = "O'Brien";
    ServiceSpec third;
    third.name    = "back";
    third.members = {{db, MemberValue{}}};

    return {{front, empty, third}, {{"hostA", "PASRV"}, {"host'B", "OTHER"}}};
}

class ConfigFileTest : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "paagent-config-XXXXXX").string();
        dir_                = mkdtemp(pattern.data());
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path path() const { return dir_ / "pa.cfg"; }

    fs::path dir_;
};

TEST_F(ConfigFileTest, WhatIsSavedLoadsBackUnchanged)
{
    Definitions saved = sample();
    save_config(path(), saved);
    Definitions loaded = load_config(path());
    EXPECT_EQ(loaded.services, saved.services);
    EXPECT_EQ(loaded.routes, saved.routes);
    EXPECT_FALSE(fs::exists(dir_ / "pa.cfg.tmp"));
}

TEST_F(ConfigFileTest, AMissingFileHoldsNothing)
{
    Definitions loaded = load_config(path());
    EXPECT_TRUE(loaded.services.empty());
    EXPECT_TRUE(loaded.routes.empty());
}

TEST_F(ConfigFileTest, AFailedSaveLeavesTheOldFile)
{
    save_config(path(), sample());
    fs::create_directory(dir_ / "pa.cfg.tmp");  // the temporary file cannot be created
    EXPECT_THROW(save_config(path(), Definitions{}), std::exception);
    EXPECT_EQ(load_config(path()).services.size(), 3u);
}

struct BadFile {
    std::string text;
    int line;
    const char *reason;
};

class BadConfigTest : public testing::TestWithParam<BadFile> {};

TEST_P(BadConfigTest, IsRefusedWithItsLine)
{
    const BadFile &bad = GetParam();
    try {
        parse_config(bad.text);
        FAIL() << "accepted: " << bad.text;
    } catch (const ConfigError &error) {
        EXPECT_EQ(error.line(), bad.line) << error.what();
        EXPECT_THAT(error.what(), HasSubstr(bad.reason));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadConfigTest,
    testing::Values(BadFile{"# some other file\n", 1, "#ZEB_PA3"},
                    BadFile{"#ZEB_PA3\nzeb_thing 'x'\n{\n}\n", 2, "unknown block 'zeb_thing'"},
                    BadFile{"#ZEB_PA3\nzeb_process 'p'\n{\n\tCommand 'sleep 1\n}\n", 4, "unterminated"},
                    BadFile{"#ZEB_PA3\nzeb_process 'p'\n{\n\tCommand 'a \\' run as 0\n}\n", 4, "unterminated"},
                    BadFile{"#ZEB_PA3\nzeb_process 'p'\n{\n\tCommand 'a\0b' run as 0\n}\n"s, 4, "zero byte"},
                    BadFile{"#ZEB_PA3\nzeb_process 'two\nlines'\n{\n\tRetryCount\t=\tmany\n}\n", 5,
                            "expected a number"},
                    BadFile{"#ZEB_PA3\nzeb_process 'p'\n{\n\tRetryCount\t=\tmany\n}\n", 4, "expected a number"},
                    BadFile{"#ZEB_PA3\nzeb_process 'p'\n{\n\tManaged\t=\tMaybe\n}\n", 4, "unexpected value 'Maybe'"},
                    BadFile{"#ZEB_PA3\nzeb_process 'p'\n{\n\tCommand 'x' run by 0\n}\n", 4, "expected 'run as'"},
                    BadFile{"#ZEB_PA3\nzeb_service 's'\n{\n\tprocess 'ghost' NONE\n}\n", 4, "undefined process ghost"},
                    BadFile{"#ZEB_PA3\nzeb_routing\n{\n\thost 'a'\n}\n", 5, "expected a quoted text"},
                    BadFile{"#ZEB_PA3\nzeb_process 'p'\n{\n", 4, "expected a keyword"},
                    BadFile{"#ZEB_PA3\nzeb_process ''\n{\n\tCommand 'x' run as 0\n}\n", 2, "a process needs a name"},
                    BadFile{"#ZEB_PA3\n\nzeb_process 'p0-0'\n{\n\tHost = 'h'\n}\n", 3, "process p0-0 has no command"},
                    BadFile{"#ZEB_PA3\nzeb_service ''\n{\n}\n", 2, "a service needs a name"},
                    BadFile{"#ZEB_PA3\nzeb_process 'p' { Command 'x' run as 0 }\nzeb_service 's'\n{\n"
                            "\tprocess 'p' NONE\n\tprocess 'p' 3\n}\n",
                            6, "service s lists process p twice"}));

TEST(ConfigParser, ABlankMessageIsAbsentAndHandWrittenLayoutIsRead)
{
    Definitions read =
        parse_config("#ZEB_PA3\n"
                     "zeb_process 'p' { Command ' ' run as 7 Host = ' ' RestartMsg = ' ' AlertMsg = 'a#b' }\n"
                     "# a comment between blocks\n"
                     "zeb_service 's' { process 'p' 12 }\n");
    ASSERT_EQ(read.services.size(), 1u);
    const ProcessSpec &definition = read.services[0].members[0].process;
    EXPECT_EQ(definition.command, " ");
    EXPECT_EQ(definition.host, " ");
    EXPECT_EQ(definition.euid, 7);
    EXPECT_FALSE(definition.restart_message.has_value());
    EXPECT_EQ(definition.alert_message, "a#b");
    EXPECT_EQ(read.services[0].members[0].value, MemberValue(std::int32_t{12}));
}

}  // namespace
