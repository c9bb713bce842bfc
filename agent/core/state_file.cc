#include "core/state_file.h"

#include <charconv>
#include <fstream>
#include <stdexcept>

namespace paagent {

namespace {

// The first line: the format's name and version, then the boot the PIDs belong to.
const std::string kHeader = "paagentd-state 1 ";

std::string boot_id()
{
    std::ifstream file("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(file, id);
    return id;
}

// Fields are separated by tabs; a backslash, tab or newline inside one is escaped.
std::string escaped(std::string_view text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        default: out += c;
        }
    }
    return out;
}

std::vector<std::string> split_fields(std::string_view line)
{
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\t') {
            fields.emplace_back();
        } else if (line[i] == '\\' && i + 1 < line.size()) {
            const char next = line[++i];
            fields.back() += next == 't' ? '\t' : next == 'n' ? '\n' : next;
        } else {
            fields.back() += line[i];
        }
    }
    return fields;
}

// An optional text: "-" when absent, else "+" and the text.
std::string optional_field(const std::optional<std::string> &text) { return text ? "+" + *text : "-"; }

std::optional<std::string> read_optional(const std::string &field)
{
    if (field == "-")
        return std::nullopt;
    if (field.empty() || field[0] != '+')
        throw std::invalid_argument("a message must be - or start with +");
    return field.substr(1);
}

template <typename Number>
Number read_number(const std::string &field)
{
    Number value{};
    auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (error != std::errc() || end != field.data() + field.size())
        throw std::invalid_argument("'" + field + "' is not a number");
    return value;
}

// Fields of a record before its environment entries.
enum Field {
    kPid,
    kGroup,
    kStartTime,
    kName,
    kHost,
    kCommand,
    kEuid,
    kManaged,
    kRetryCount,
    kType,
    kRestartMessage,
    kAlertMessage,
    kExtraArgs,
    kFixedFields
};

RunningRecord read_record(const std::vector<std::string> &fields)
{
    if (fields.size() < kFixedFields)
        throw std::invalid_argument("too few fields");
    RunningRecord record;
    record.pid                        = read_number<pid_t>(fields[kPid]);
    record.identity.group             = read_number<pid_t>(fields[kGroup]);
    record.identity.start_time        = read_number<std::uint64_t>(fields[kStartTime]);
    record.definition.name            = fields[kName];
    record.definition.host            = fields[kHost];
    record.definition.command         = fields[kCommand];
    record.definition.euid            = read_number<std::int32_t>(fields[kEuid]);
    record.definition.managed         = read_number<int>(fields[kManaged]) != 0;
    record.definition.retry_count     = read_number<std::int32_t>(fields[kRetryCount]);
    record.definition.type            = static_cast<ProcessType>(read_number<std::int32_t>(fields[kType]));
    record.definition.restart_message = read_optional(fields[kRestartMessage]);
    record.definition.alert_message   = read_optional(fields[kAlertMessage]);
    record.extra_args                 = fields[kExtraArgs];
    record.environment.assign(fields.begin() + kFixedFields, fields.end());
    return record;
}

}  // namespace

std::string format_state(const std::vector<RunningRecord> &records)
{
    std::string text = kHeader + boot_id() + "\n";
    for (const RunningRecord &record : records) {
        const ProcessSpec &process      = record.definition;
        std::vector<std::string> fields = {std::to_string(record.pid),
                                           std::to_string(record.identity.group),
                                           std::to_string(record.identity.start_time),
                                           process.name,
                                           process.host,
                                           process.command,
                                           std::to_string(process.euid),
                                           process.managed ? "1" : "0",
                                           std::to_string(process.retry_count),
                                           std::to_string(static_cast<std::int32_t>(process.type)),
                                           optional_field(process.restart_message),
                                           optional_field(process.alert_message),
                                           record.extra_args};
        fields.insert(fields.end(), record.environment.begin(), record.environment.end());
        for (std::size_t i = 0; i < fields.size(); ++i)
            text += (i == 0 ? "" : "\t") + escaped(fields[i]);
        text += "\n";
    }
    return text;
}

std::vector<RunningRecord> parse_state(std::string_view text)
{
    std::vector<RunningRecord> records;
    std::size_t start = 0;
    for (int number = 1; start < text.size(); ++number) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start                       = end + 1;
        if (number == 1) {
            if (line.substr(0, kHeader.size()) != kHeader)
                throw std::runtime_error("line 1: not a state file of this agent");
            if (line.substr(kHeader.size()) != boot_id())
                return {};
            continue;
        }
        try {
            records.push_back(read_record(split_fields(line)));
        } catch (const std::invalid_argument &error) {
            throw std::runtime_error("line " + std::to_string(number) + ": " + error.what());
        }
    }
    return records;
}

}  // namespace paagent
