// A decoded parameter or column value: NULL, an integer, or text/bytes.
#ifndef PAAGENT_TDS_VALUE_H
#define PAAGENT_TDS_VALUE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace paagent::tds {

class Value {
public:
    Value() = default;  // NULL
    Value(std::int64_t number) : data_(number) {}
    Value(std::int32_t number) : data_(std::int64_t{number}) {}
    Value(std::string text) : data_(std::move(text)) {}
    Value(const char *text) : data_(std::string(text)) {}

    static Value Null() { return Value(); }

    bool IsNull() const { return std::holds_alternative<std::monostate>(data_); }
    bool IsInt() const { return std::holds_alternative<std::int64_t>(data_); }
    bool IsText() const { return std::holds_alternative<std::string>(data_); }

    // Accessors throw std::bad_variant_access when the value holds another kind.
    std::int64_t AsInt() const { return std::get<std::int64_t>(data_); }
    const std::string &AsText() const { return std::get<std::string>(data_); }

    bool operator==(const Value &) const = default;

private:
    std::variant<std::monostate, std::int64_t, std::string> data_;
};

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_VALUE_H
