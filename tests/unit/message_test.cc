// The message log: line layout, thresholds, user logger, bounds, stream ownership, exit.
#include <agentclient/pa.h>

#include "support/log_capture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

using testing::ElementsAre;
using testing::HasSubstr;
using testing::MatchesRegex;

namespace {

constexpr const char *kStamp = "[A-Z][a-z][a-z] [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}";

// A stream whose writes are kept in memory and whose closing is observed.
class ObservedStream {
public:
    ObservedStream()
    {
        cookie_io_functions_t io{};
        io.write = [](void *self, const char *data, size_t size) -> ssize_t {
            static_cast<ObservedStream *>(self)->text_.append(data, size);
            return static_cast<ssize_t>(size);
        };
        io.close = [](void *self) -> int {
            ++static_cast<ObservedStream *>(self)->closes_;
            return 0;
        };
        file_ = fopencookie(this, "w", io);
    }
    ~ObservedStream()
    {
        if (PaGetMsgStream() == file_) {
            PaSetMsgStream(stderr);
        } else if (closes_ == 0) {
            std::fclose(file_);
        }
    }
    FILE *file() const { return file_; }
    const std::string &text() const { return text_; }
    int closes() const { return closes_; }

private:
    FILE *file_ = nullptr;
    std::string text_;
    int closes_ = 0;
};

class MessageLogTest : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    void TearDown() override
    {
        PaSetMsgStream(stderr);
        PaShutdownMsgLogSystem();
    }
};

TEST_F(MessageLogTest, StreamLineHasTimeStampLevelAndText)
{
    ObservedStream out;
    PaSetMsgStream(out.file());
    PaMsgLog(PaMSG_ERROR, "x %d", 7);
    PaMsgLog(PaMSG_INFORMATION, "dropped");
    EXPECT_THAT(out.text(), MatchesRegex(std::string(kStamp) + ": Error: x 7\n"));
    PaSetMsgStream(stderr);
}

TEST_F(MessageLogTest, FirstDeliveredLineInstallsStandardError)
{
    // A fresh process, so that no earlier test has touched the stream.
    EXPECT_EXIT(
        {
            bool unsetBefore = PaGetMsgStream() == nullptr;
            PaMsgLog(PaMSG_DEBUG, "below threshold");
            bool unsetAfterDrop = PaGetMsgStream() == nullptr;
            PaMsgLog(PaMSG_WARNING, "first line");
            std::exit(unsetBefore && unsetAfterDrop && PaGetMsgStream() == stderr ? 0 : 2);
        },
        testing::ExitedWithCode(0), MatchesRegex(std::string(kStamp) + ": Warning: first line\n"));
}

TEST_F(MessageLogTest, SystemErrorSuffixFollowsTheMessage)
{
    ObservedStream out;
    PaSetMsgStream(out.file());
    ASSERT_EQ(open("/nonexistent/agentclient", O_RDONLY), -1);
    PaMsgLogSysError(PaMSG_WARNING, "DuplicateHandle() failed.");
    EXPECT_THAT(out.text(), MatchesRegex(std::string(kStamp) +
                                         ": Warning: DuplicateHandle\\(\\) failed. No such file or directory\n"));

    LogCapture log;
    errno = EACCES;
    PaMsgLogSysError(PaMSG_ERROR, "open %s", "x");
    EXPECT_THAT(log.texts(), ElementsAre("open x Permission denied"));
    PaSetMsgStream(stderr);
}

TEST_F(MessageLogTest, UserLoggerGetsBareTextLevelNameAndData)
{
    LogCapture log(PaMSG_WARNING);
    PaMsgLog(PaMSG_WARNING, "value %d of %s", 3, "five");
    PaMsgLog(PaMSG_INFORMATION, "dropped");
    ASSERT_EQ(log.messages().size(), 1u);
    const LoggedMessage &message = log.messages()[0];
    EXPECT_EQ(message.level, PaMSG_WARNING);
    EXPECT_EQ(message.text, "value 3 of five");
    EXPECT_EQ(message.levelName, "Warning");
    EXPECT_EQ(message.userData, &log);
}

TEST_F(MessageLogTest, UserBufferReceivesTheTextAndIsNeverOverrun)
{
    struct Seen {
        const char *text = nullptr;
        size_t length    = 0;
    } seen;
    auto record = [](int32_t, const char *text, const char *, void *data) {
        static_cast<Seen *>(data)->text   = text;
        static_cast<Seen *>(data)->length = std::strlen(text);
    };
    // The buffer is followed by a guard area that must stay untouched.
    std::string buffer(PaMSG_BUFFER_SIZE + 64, '#');
    ASSERT_EQ(PaSetUserLoggerFunc(record, buffer.data(), &seen), PaSUCCESS);

    PaMsgLog(PaMSG_ERROR, "short");
    EXPECT_EQ(seen.text, buffer.data());
    EXPECT_STREQ(seen.text, "short");

    std::string huge(3 * PaMSG_BUFFER_SIZE, 'a');
    PaMsgLog(PaMSG_ERROR, "%s", huge.c_str());
    EXPECT_EQ(seen.length, static_cast<size_t>(PaMSG_BUFFER_SIZE - 1));
    errno = ENOENT;
    PaMsgLogSysError(PaMSG_ERROR, "%s", huge.c_str());
    EXPECT_EQ(seen.length, static_cast<size_t>(PaMSG_BUFFER_SIZE - 1));
    EXPECT_EQ(buffer.substr(PaMSG_BUFFER_SIZE), std::string(64, '#'));

    std::string nearlyFull(PaMSG_BUFFER_SIZE - 10, 'b');
    PaMsgLogSysError(PaMSG_ERROR, "%s", nearlyFull.c_str());
    EXPECT_EQ(std::string(seen.text).substr(nearlyFull.size()), " No such ");
}

TEST_F(MessageLogTest, MissingUserBufferIsNoticedThroughTheNewLogger)
{
    PaSetMsgLogLevel(PaMSG_DEBUG);
    std::string notices;
    auto record = [](int32_t, const char *text, const char *, void *data) {
        *static_cast<std::string *>(data) += text;
    };
    char released[PaMSG_BUFFER_SIZE];
    ASSERT_EQ(PaSetUserLoggerFunc(record, released, &notices), PaSUCCESS);
    ASSERT_EQ(PaSetUserLoggerFunc(record, nullptr, &notices), PaSUCCESS);
    EXPECT_EQ(notices, "No User Message Buffer Supplied.");
    EXPECT_EQ(PaGetUserLoggerFunc(), static_cast<PaUserLoggerFunc>(record));
}

TEST_F(MessageLogTest, NullUserLoggerIsRefusedAndTheOldOneStays)
{
    LogCapture log(PaMSG_ERROR);
    PaUserLoggerFunc installed = PaGetUserLoggerFunc();
    EXPECT_EQ(PaSetUserLoggerFunc(nullptr, nullptr, nullptr), PaFAILURE);
    EXPECT_EQ(PaGetUserLoggerFunc(), installed);
    EXPECT_THAT(log.texts(), ElementsAre("Attempt to insert a NULL user Logger function."));

    PaRemoveUserLogFunc();
    EXPECT_EQ(PaGetUserLoggerFunc(), nullptr);
    ObservedStream out;
    PaSetMsgStream(out.file());
    PaMsgLog(PaMSG_ERROR, "back to the stream");
    EXPECT_THAT(out.text(), HasSubstr(": Error: back to the stream\n"));
    EXPECT_EQ(log.messages().size(), 1u);
    PaSetMsgStream(stderr);
}

TEST_F(MessageLogTest, OverlongFormatIsRefusedWithItsBeginning)
{
    LogCapture log;
    std::string accepted(PaMSG_MAX_FORMAT_LENGTH, 'a');
    PaMsgLog(PaMSG_WARNING, accepted.c_str(), 0);
    ASSERT_THAT(log.texts(), ElementsAre(accepted));

    log.clear();
    std::string refused = std::string(1024, 'b') + std::string(7168, 'c');
    ASSERT_EQ(refused.size(), 8192u);
    EXPECT_EQ(PaMsgLog(PaMSG_FATAL_ERROR, refused.c_str(), 0), 0);  // refusal never ends the process
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_EQ(log.messages()[0].level, PaMSG_ERROR);
    EXPECT_EQ(log.messages()[0].text,
              "Attempt to log a message that was longer than 8192 characters. The message will not be "
              "logged. The message starts [" +
                  std::string(1024, 'b') + "...]");
}

TEST_F(MessageLogTest, LevelsOutsideTheTableAreNamedUnknown)
{
    LogCapture log(-10);
    PaMsgLog(0, "zero");
    PaMsgLog(9, "nine");
    PaMsgLog(-4, "negative");
    ASSERT_EQ(log.messages().size(), 3u);
    for (const auto &message : log.messages()) {
        EXPECT_EQ(message.levelName, "Unknown") << message.text;
    }
    PaMsgLog(PaMSG_DEBUG, "named");
    EXPECT_EQ(log.messages().back().levelName, "Debug");
}

TEST_F(MessageLogTest, NullFormatDeliversNothing)
{
    LogCapture log;
    EXPECT_EQ(PaMsgLog(PaMSG_ERROR, nullptr), 0);
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(MessageLogTest, FatalErrorEndsTheProcessAfterDelivery)
{
    EXPECT_EXIT(PaMsgLog(PaMSG_FATAL_ERROR, "cannot go on: %s", "reason"), testing::ExitedWithCode(1),
                MatchesRegex(std::string(kStamp) + ": Fatal Error: cannot go on: reason\n"));
    EXPECT_EXIT(
        {
            auto toStderr = [](int32_t, const char *text, const char *name, void *) {
                std::fprintf(stderr, "logger got %s: %s\n", name, text);
            };
            PaSetUserLoggerFunc(toStderr, nullptr, nullptr);
            PaMsgLog(PaMSG_FATAL_ERROR, "last words");
        },
        testing::ExitedWithCode(1), "logger got Fatal Error: last words\n");
}

TEST_F(MessageLogTest, ThresholdAboveFatalDropsEverythingAndTheProcessGoesOn)
{
    ObservedStream out;
    PaSetMsgStream(out.file());
    PaSetMsgLogLevel(PaMSG_FATAL_ERROR + 1);
    EXPECT_EQ(PaGetMsgLogLevel(), 6);
    PaMsgLog(PaMSG_FATAL_ERROR, "would end the process");
    EXPECT_EQ(out.text(), "");
    PaSetMsgStream(stderr);
}

TEST_F(MessageLogTest, FileStreamIsClosedOnReplacementAndShutdown)
{
    ObservedStream first;
    ObservedStream second;
    PaSetMsgStream(first.file());
    PaSetMsgStream(first.file());
    EXPECT_EQ(first.closes(), 0);
    PaMsgLog(PaMSG_ERROR, "still open");
    EXPECT_THAT(first.text(), HasSubstr("still open"));

    PaSetMsgStream(second.file());
    EXPECT_EQ(first.closes(), 1);
    EXPECT_EQ(PaGetMsgStream(), second.file());

    PaSetMsgLogLevel(PaMSG_DEBUG);
    PaShutdownMsgLogSystem();
    EXPECT_EQ(second.closes(), 1);
    EXPECT_EQ(PaGetMsgStream(), stderr);
    EXPECT_EQ(PaGetMsgLogLevel(), PaMSG_WARNING);
}

TEST_F(MessageLogTest, StandardStreamsAreNeverClosed)
{
    PaSetMsgStream(stdout);
    PaSetMsgStream(stderr);
    PaSetMsgStream(stdout);
    PaShutdownMsgLogSystem();
    EXPECT_NE(fcntl(STDOUT_FILENO, F_GETFD), -1);
    EXPECT_NE(fcntl(STDERR_FILENO, F_GETFD), -1);
    EXPECT_GE(std::fprintf(stdout, "%s", ""), 0);
    EXPECT_EQ(std::ferror(stdout), 0);
    EXPECT_EQ(PaGetMsgStream(), stderr);
}

}  // namespace
