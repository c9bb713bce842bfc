// Building blocks of a reply: result-set columns and server messages.
#ifndef PAAGENT_TDS_REPLY_TYPES_H
#define PAAGENT_TDS_REPLY_TYPES_H

#include <cstdint>
#include <string>
#include <utility>

namespace paagent::tds {

enum class ColumnType {
    kInt,   // 32-bit integer: INTN(4) when nullable, INT4 otherwise (ct_describe: CS_INT_TYPE)
    kText,  // character data: VARCHAR up to 255 bytes, LONGCHAR above (ct_describe: CS_CHAR_TYPE)
};

struct Column {
    std::string name;  // at most 255 bytes
    ColumnType type          = ColumnType::kInt;
    std::uint32_t max_length = 0;  // Text only: declared width in bytes (at least 1)
    bool nullable            = true;

    static Column Integer(std::string name, bool nullable = true)
    {
        return {std::move(name), ColumnType::kInt, 0, nullable};
    }
    static Column Text(std::string name, std::uint32_t max_length)
    {
        return {std::move(name), ColumnType::kText, max_length, true};
    }
};

// A message for the client's server-message callback (an EED token).
// Severity 10 or below is informational, 11 and above an error; neither alone fails a command.
struct ServerMessage {
    std::int32_t number   = 0;
    std::uint8_t severity = 10;
    std::uint8_t state    = 1;
    std::string text;       // at most 1024 bytes are sent
    std::string procedure;  // empty: the RPC's name, when sent from an RPC handler
    std::uint16_t line = 0;
    std::string sqlstate;  // empty: none (the client derives one from the number)

    static ServerMessage Error(std::int32_t number, std::string text) { return Make(number, 16, std::move(text)); }
    static ServerMessage Info(std::int32_t number, std::string text) { return Make(number, 10, std::move(text)); }

private:
    static ServerMessage Make(std::int32_t number, std::uint8_t severity, std::string text)
    {
        ServerMessage message;
        message.number   = number;
        message.severity = severity;
        message.text     = std::move(text);
        return message;
    }
};

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_REPLY_TYPES_H
