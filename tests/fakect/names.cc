#include "names.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace fakect {

namespace {

struct Name {
    CS_INT value;
    const char *text;
};
#define NAMED(constant)                                                                                                \
  Name { constant, #constant }

std::string Named(CS_INT value, std::initializer_list<Name> names)
{
    for (const Name &name : names) {
        if (name.value == value)
            return name.text;
    }
    return std::to_string(value);
}

// The ct_debug operation and flag of the vendor's header; FreeTDS defines neither.
constexpr CS_INT CS_SET_FLAG = 1700;
constexpr CS_INT CS_DBG_ALL  = 1;

}  // namespace

std::string ActionName(CS_INT action) { return Named(action, {NAMED(CS_GET), NAMED(CS_SET), NAMED(CS_CLEAR)}); }

std::string PropertyName(CS_INT property)
{
    return Named(property, {NAMED(CS_USERNAME), NAMED(CS_PASSWORD), NAMED(CS_APPNAME), NAMED(CS_HOSTNAME),
                            NAMED(CS_USERDATA), NAMED(CS_DIAG_TIMEOUT), NAMED(CS_SEC_CHALLENGE), NAMED(CS_TDS_VERSION),
                            NAMED(CS_CON_STATUS), NAMED(CS_IFILE), NAMED(CS_TIMEOUT), NAMED(CS_LOGIN_TIMEOUT),
                            NAMED(CS_SERVERADDR), NAMED(CS_NUMDATA)});
}

std::string CallbackName(CS_INT type)
{
    return Named(type, {NAMED(CS_CLIENTMSG_CB), NAMED(CS_SERVERMSG_CB), NAMED(CS_CHALLENGE_CB)});
}

std::string VersionName(CS_INT version)
{
    return Named(version, {NAMED(CS_VERSION_100), NAMED(CS_VERSION_110), NAMED(CS_VERSION_125), NAMED(CS_VERSION_150)});
}

std::string OptionName(CS_INT option)
{
    return Named(option, {NAMED(CS_UNUSED), NAMED(CS_FORCE_CLOSE), NAMED(CS_FORCE_EXIT), NAMED(CS_CANCEL_ALL),
                          NAMED(CS_CANCEL_ATTN), NAMED(CS_CANCEL_CURRENT), NAMED(CS_SET_FLAG)});
}

std::string DebugFlagName(CS_INT flag) { return Named(flag, {NAMED(CS_DBG_ALL)}); }

std::string LengthName(CS_INT length) { return Named(length, {NAMED(CS_NULLTERM), NAMED(CS_UNUSED)}); }

std::string ReturnName(CS_RETCODE code)
{
    return Named(code, {NAMED(CS_SUCCEED), NAMED(CS_FAIL), NAMED(CS_BUSY), NAMED(CS_PENDING), NAMED(CS_CANCELED),
                        NAMED(CS_ROW_FAIL), NAMED(CS_END_DATA), NAMED(CS_END_RESULTS)});
}

std::string ResultTypeName(CS_INT type)
{
    return Named(type, {NAMED(CS_ROW_RESULT), NAMED(CS_PARAM_RESULT), NAMED(CS_STATUS_RESULT), NAMED(CS_CMD_DONE),
                        NAMED(CS_CMD_SUCCEED), NAMED(CS_CMD_FAIL)});
}

std::string CommandTypeName(CS_INT type) { return Named(type, {NAMED(CS_RPC_CMD), NAMED(CS_LANG_CMD)}); }

std::string TextOf(const CS_VOID *buffer, CS_INT length)
{
    if (!buffer)
        return {};
    const char *text = static_cast<const char *>(buffer);
    if (length == CS_NULLTERM)
        return text;
    return length > 0 ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

std::string Quote(std::string_view bytes)
{
    std::string quoted = "\"";
    for (unsigned char c : bytes) {
        if (c == '\0')
            quoted += "\\0";
        else if (c == '"' || c == '\\')
            quoted += {'\\', static_cast<char>(c)};
        else if (c >= 0x20 && c < 0x7f)
            quoted += static_cast<char>(c);
        else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            quoted += escaped;
        }
    }
    return quoted + "\"";
}

std::string HandleName(const void *handle, std::string_view name) { return handle ? std::string(name) : "NULL"; }

bool IsTextProperty(CS_INT property)
{
    switch (property) {
    case CS_USERNAME:
    case CS_PASSWORD:
    case CS_APPNAME:
    case CS_HOSTNAME:
    case CS_USERDATA:
    case CS_IFILE:
    case CS_SERVERADDR: return true;
    default: return false;
    }
}

std::string PropertyValue(CS_INT property, const CS_VOID *buffer, CS_INT length)
{
    if (!buffer)
        return "NULL";
    if (property == CS_USERDATA)
        return "<" + std::to_string(length) + " bytes>";
    if (IsTextProperty(property))
        return Quote(TextOf(buffer, length));
    CS_INT value;
    std::memcpy(&value, buffer, sizeof value);
    switch (property) {
    case CS_TDS_VERSION:
        return Named(value, {NAMED(CS_TDS_AUTO), NAMED(CS_TDS_40), NAMED(CS_TDS_42), NAMED(CS_TDS_46),
                             NAMED(CS_TDS_495), NAMED(CS_TDS_50), NAMED(CS_TDS_70), NAMED(CS_TDS_71), NAMED(CS_TDS_72),
                             NAMED(CS_TDS_73), NAMED(CS_TDS_74)});
    case CS_SEC_CHALLENGE:
    case CS_DIAG_TIMEOUT: return Named(value, {NAMED(CS_TRUE), NAMED(CS_FALSE)});
    default: return std::to_string(value);
    }
}

}  // namespace fakect
