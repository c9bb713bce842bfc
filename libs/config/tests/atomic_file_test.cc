// Replacing a file whole: the new file is its owner's alone whatever the umask and never written
// through a symbolic link; a link in the file's place, or anything that keeps the new file from
// being written whole, is refused and leaves the old file and everything around it as it was.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <tuple>

#include "config/atomic_file.h"
#include "support/temp_dir.h"

namespace fs     = std::filesystem;
namespace config = agentclient::config;

namespace {

// What a test sees of a path: its type, not following a link, and the text of the file it names.
std::pair<fs::file_type, std::string> Seen(const fs::path &path)
{
    std::ifstream file(path, std::ios::binary);
    return {fs::symlink_status(path).type(),
            fs::is_regular_file(path) ? std::string(std::istreambuf_iterator<char>(file), {}) : ""};
}

TEST(AtomicFile, ReplacesAFileWholeForItsOwnerAloneOrLeavesEverythingAsItWas)
{
    // Puts something in the way beside the old file, or limits the size of the files written.
    using Arrange = std::function<void(const fs::path &file, const fs::path &temporary, const fs::path &other)>;
    rlimit saved_limit{};
    getrlimit(RLIMIT_FSIZE, &saved_limit);
    const std::tuple<const char *, Arrange, bool> cases[] = {
        {"an old file others may read", [](auto &file, auto &, auto &) { fs::permissions(file, fs::perms(0644)); },
         true},
        {"a link left where the temporary file goes",
         [](auto &, auto &temporary, auto &other) { fs::create_symlink(other, temporary); }, true},
        {"a symbolic link in the file's place",
         [](auto &file, auto &, auto &other) {
             fs::remove(file);
             fs::create_symlink(other, file);
         },
         false},
        {"a directory where the temporary file goes",
         [](auto &, auto &temporary, auto &) { fs::create_directory(temporary); }, false},
        {"a write cut short",
         [&](auto &, auto &, auto &) {
             const rlimit limit{4096, saved_limit.rlim_max};
             setrlimit(RLIMIT_FSIZE, &limit);
         },
         false},
    };
    const std::string text(64 * 1024, 'n');
    const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails
    for (const auto durability : {config::Durability::kProcessCrash, config::Durability::kSystemCrash}) {
        for (const auto &[what, arrange, replaced] : cases) {
            SCOPED_TRACE(std::string(what) + (durability == config::Durability::kSystemCrash ? ", flushed" : ""));
            TempDir dir;
            const fs::path file = dir.Path() / "file", temporary = dir.Path() / "file.tmp",
                           other = dir.Path() / "other";
            std::ofstream(file) << "old";
            std::ofstream(other) << "other";
            arrange(file, temporary, other);
            const auto before = Seen(file), temporary_before = Seen(temporary);
            const mode_t previous_umask = umask(0);
            bool refused                = false;
            try {
                config::ReplaceFile(file, text, durability);
            } catch (const std::runtime_error &) {
                refused = true;
            }
            umask(previous_umask);
            setrlimit(RLIMIT_FSIZE, &saved_limit);
            EXPECT_EQ(Seen(other), std::pair(fs::file_type::regular, std::string("other")));
            EXPECT_EQ(refused, !replaced);
            if (replaced) {
                EXPECT_EQ(Seen(file), std::pair(fs::file_type::regular, text));
                EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
                EXPECT_FALSE(fs::exists(fs::symlink_status(temporary)));
            } else {
                EXPECT_EQ(Seen(file), before);
                EXPECT_EQ(Seen(temporary), temporary_before);
            }
        }
    }
    std::signal(SIGXFSZ, previous_handler);
}

}  // namespace
