// Escaping texts for the log: one line per record, nothing a terminal acts on, no ambiguity.
#include <gtest/gtest.h>

#include "tds/log.h"

namespace paagent::tds {
namespace {

TEST(EscapedForLog, WritesEveryByteOutsidePrintableAsciiAsAnEscape)
{
    struct Case {
        std::string text;
        std::string logged;
    } cases[] = {
        {"plain text, 100% ASCII ~!", "plain text, 100% ASCII ~!"},
        {"line\nforged", "line\\nforged"},
        {"cr\rlf\n tab\t", "cr\\rlf\\n tab\\t"},
        {"\x1b[2J\x07", "\\x1b[2J\\x07"},
        {std::string("zero\0byte", 9), "zero\\x00byte"},
        {"del\x7f", "del\\x7f"},
        {"caf\xc3\xa9 \xff", "caf\\xc3\\xa9 \\xff"},
        {"a\\nb", "a\\\\nb"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(escaped_for_log(c.text), c.logged) << c.logged;
    }
}

}  // namespace
}  // namespace paagent::tds
