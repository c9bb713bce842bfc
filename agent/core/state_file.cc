#include "core/state_file.h"

#include <charconv>
#include <fstream>
#include <map>
#include <stdexcept>

namespace paagent {

namespace {

// The first line: the format's name and version, then the boot the PIDs belong to. Format 2
// added the launch key, format 3 lines that end a record, so that the file grows by a line at
// every change instead of being written whole; files of formats 1 and 2 are still read.
const std::string kFormat = "paagentd-state ";
constexpr char kVersion   = '3';
// The first field of a line that ends the record of the process it names.
constexpr std::string_view kEnded = "-";

std::string BootId()
{
    std::ifstream file("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(file, id);
    return id;
}

// Fields are separated by tabs; a backslash, tab or newline inside one is escaped.
std::string Escaped(std::string_view text)
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

std::vector<std::string> SplitFields(std::string_view line)
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
std::string OptionalField(const std::optional<std::string> &text) { return text ? "+" + *text : "-"; }

std::optional<std::string> ReadOptional(const std::string &field)
{
    if (field == "-") {
        return std::nullopt;
    }
    if (field.empty() || field[0] != '+') {
        throw std::invalid_argument("a message must be - or start with +");
    }
    return field.substr(1);
}

template <typename Number>
Number ReadNumber(const std::string &field)
{
    Number value{};
    auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (error != std::errc() || end != field.data() + field.size()) {
        throw std::invalid_argument("'" + field + "' is not a number");
    }
    return value;
}

// The fields of a line, taken in order.
class FieldReader {
public:
    explicit FieldReader(std::vector<std::string> fields) : fields_(std::move(fields)) {}

    const std::string &Next()
    {
        if (next_ == fields_.size()) {
            throw std::invalid_argument("too few fields");
        }
        return fields_[next_++];
    }
    std::vector<std::string> Rest() const
    {
        return {fields_.begin() + static_cast<std::ptrdiff_t>(next_), fields_.end()};
    }

private:
    std::vector<std::string> fields_;
    std::size_t next_ = 0;
};

// The version of the format the first line names: its name, a version of one digit, a space and
// the boot. Throws std::invalid_argument when it names none this agent reads.
char ReadVersion(std::string_view line)
{
    if (!line.starts_with(kFormat) || line.size() < kFormat.size() + 2 || line[kFormat.size() + 1] != ' ') {
        throw std::invalid_argument("not a state file of this agent");
    }
    const char version = line[kFormat.size()];
    if (version != '1' && version != '2' && version != kVersion) {
        throw std::invalid_argument("format " + std::string(1, version) + " is not one this agent reads");
    }
    return version;
}

RunningRecord ReadRecord(FieldReader fields, char version)
{
    RunningRecord record;
    record.pid                 = ReadNumber<pid_t>(fields.Next());
    record.identity.group      = ReadNumber<pid_t>(fields.Next());
    record.identity.start_time = ReadNumber<std::uint64_t>(fields.Next());
    if (version != '1') {
        record.launch_key = fields.Next();
    }
    Process &process        = record.definition;
    process.name            = fields.Next();
    process.host            = fields.Next();
    process.command         = fields.Next();
    process.euid            = ReadNumber<std::int32_t>(fields.Next());
    process.managed         = ReadNumber<int>(fields.Next()) != 0;
    process.retry_count     = ReadNumber<std::int32_t>(fields.Next());
    process.type            = static_cast<ProcessType>(ReadNumber<std::int32_t>(fields.Next()));
    process.restart_message = ReadOptional(fields.Next());
    process.alert_message   = ReadOptional(fields.Next());
    record.extra_args       = fields.Next();
    record.environment      = fields.Rest();
    return record;
}

// A line of the file: a record, which replaces an earlier one of its name, or the end of one.
void Apply(std::map<std::string, RunningRecord> &records, FieldReader fields, char version)
{
    if (version == kVersion && fields.Rest().front() == kEnded) {
        fields.Next();
        records.erase(fields.Next());
        return;
    }
    RunningRecord record            = ReadRecord(std::move(fields), version);
    records[record.definition.name] = std::move(record);
}

}  // namespace

std::string StateHeader() { return kFormat + kVersion + " " + BootId() + "\n"; }

std::string StateLine(const RunningRecord &record)
{
    const Process &process          = record.definition;
    std::vector<std::string> fields = {std::to_string(record.pid),
                                       std::to_string(record.identity.group),
                                       std::to_string(record.identity.start_time),
                                       record.launch_key,
                                       process.name,
                                       process.host,
                                       process.command,
                                       std::to_string(process.euid),
                                       process.managed ? "1" : "0",
                                       std::to_string(process.retry_count),
                                       std::to_string(static_cast<std::int32_t>(process.type)),
                                       OptionalField(process.restart_message),
                                       OptionalField(process.alert_message),
                                       record.extra_args};
    fields.insert(fields.end(), record.environment.begin(), record.environment.end());
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        line += (i == 0 ? "" : "\t") + Escaped(fields[i]);
    }
    return line + "\n";
}

std::string EndedLine(const std::string &name) { return std::string(kEnded) + "\t" + Escaped(name) + "\n"; }

std::string FormatState(const std::vector<RunningRecord> &records)
{
    std::string text = StateHeader();
    for (const RunningRecord &record : records) {
        text += StateLine(record);
    }
    return text;
}

ParsedState ParseState(std::string_view text)
{
    ParsedState state;
    std::map<std::string, RunningRecord> records;
    std::size_t start = 0;
    char version      = 0;
    for (int number = 1; start < text.size(); ++number) {
        std::size_t end = text.find('\n', start);
        // Every line is written with its end: one without was cut short by the agent's end.
        const bool cut_short = end == std::string_view::npos;
        if (cut_short) {
            end = text.size();
        }
        const std::string_view line = text.substr(start, end - start);
        start                       = end + 1;
        try {
            if (cut_short && number > 1) {
                throw std::invalid_argument("the line is cut short");
            }
            if (number > 1) {
                Apply(records, FieldReader(SplitFields(line)), version);
                continue;
            }
            version = ReadVersion(line);
            if (line.substr(kFormat.size() + 2) != BootId()) {
                return {};
            }
        } catch (const std::invalid_argument &error) {
            state.bad_lines.push_back({number, error.what()});
            // Without its first line no other can be read.
            if (number == 1) {
                break;
            }
        }
    }
    for (auto &[name, record] : records) {
        state.records.push_back(std::move(record));
    }
    return state;
}

}  // namespace paagent
