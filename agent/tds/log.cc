#include "tds/log.h"

namespace paagent::tds {
namespace {

// The escape of a byte that is not printable ASCII, or of the backslash; empty for the others.
std::string Escape(unsigned char byte)
{
    constexpr char kDigits[] = "0123456789abcdef";
    switch (byte) {
    case '\\': return "\\\\";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    default: break;
    }
    if (byte >= 0x20 && byte < 0x7f) {
        return {};
    }
    return {'\\', 'x', kDigits[byte >> 4], kDigits[byte & 0x0f]};
}

}  // namespace

std::string EscapedForLog(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        std::string escaped = Escape(static_cast<unsigned char>(c));
        if (escaped.empty()) {
            out.push_back(c);
        } else {
            out += escaped;
        }
    }
    return out;
}

}  // namespace paagent::tds
