// Saving the configuration file: a plain file is written and read byte for byte, and a text the
// file cannot carry is refused before anything is written.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "core/config_file.h"

namespace fs = std::filesystem;
using namespace paagent;
using testing::HasSubstr;

namespace {

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
Definitions plain() {
    ProcessSpec web{"web", "node1", "httpd -f /etc/httpd.conf", 1000, true, "restarting web", std::nullopt, 3,
                    ProcessType::PaAware};
    ProcessSpec db{"db", " ", " ", 0, false, "", "db is down", -1, ProcessType::Daemon};
    ServiceSpec front{"front",
                      static_cast<std::int32_t>(ServiceType::Master),
                      static_cast<std::int32_t>(ServiceStart::Auto),
                      {{web, std::int32_t{-42}}, {db, std::string("a text")}}};
    ServiceSpec back{"back", static_cast<std::int32_t>(ServiceType::NonMaster),
                     static_cast<std::int32_t>(ServiceStart::NonAuto), {{db, MemberValue{}}}};
    return {{front, back}, {{"hostA", "PASRV"}}};
}

TEST(ConfigRoundTrip, APlainFileIsWrittenAndReadByteForByte) {
    EXPECT_EQ(format_config(plain()), kPlainFile);
    const Definitions read = parse_config(kPlainFile);
    EXPECT_EQ(read.services, plain().services);
    EXPECT_EQ(read.routes, plain().routes);
}

class ConfigSaveTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "paagent-round-trip-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path path() const { return dir_ / "pa.cfg"; }
    std::string contents() const {
        std::ifstream file(path(), std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

    fs::path dir_;
};

const std::string kZeroByte("x\0y", 3);

struct Unwritable {
    void (*put)(Definitions&);  // puts kZeroByte in one text
    const char* named;          // the record and attribute the refusal names
};

TEST_F(ConfigSaveTest, ATextWithAZeroByteIsRefusedAndTheFileIsUntouched) {
    const Unwritable cases[] = {
        {[](Definitions& d) { d.services[0].members[0].process.name = kZeroByte; }, "process 'x\\0y': its name"},
        {[](Definitions& d) { d.services[0].members[0].process.host = kZeroByte; }, "process 'web': its host"},
        {[](Definitions& d) { d.services[0].members[1].process.command = kZeroByte; }, "process 'db': its command"},
        {[](Definitions& d) { d.services[0].members[0].process.restart_message = kZeroByte; },
         "process 'web': its restart message"},
        {[](Definitions& d) { d.services[1].members[0].process.alert_message = kZeroByte; },
         "process 'db': its alert message"},
        {[](Definitions& d) { d.services[0].members[1].value = kZeroByte; },
         "service 'front': its value for process 'db'"},
        {[](Definitions& d) { d.services[1].name = kZeroByte; }, "service 'x\\0y': its name"},
        {[](Definitions& d) { d.routes[0].host = kZeroByte; }, "route 'x\\0y' to 'PASRV': its host name"},
        {[](Definitions& d) { d.routes[0].server = kZeroByte; }, "route 'hostA' to 'x\\0y': its server name"},
    };
    save_config(path(), plain());
    for (const auto& unwritable : cases) {
        Definitions definitions = plain();
        unwritable.put(definitions);
        try {
            save_config(path(), definitions);
            ADD_FAILURE() << "saved with a zero byte in " << unwritable.named;
        } catch (const std::runtime_error& error) {
            EXPECT_THAT(error.what(), HasSubstr(unwritable.named));
            EXPECT_THAT(error.what(), HasSubstr("zero byte"));
        }
        EXPECT_EQ(contents(), kPlainFile) << unwritable.named;
        EXPECT_FALSE(fs::exists(dir_ / "pa.cfg.tmp")) << unwritable.named;
    }
}

}  // namespace
