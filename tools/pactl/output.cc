#include "output.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <map>
#include <unistd.h>

namespace patools {

namespace {

// A number of seconds as its two largest units: 45s, 12m05s, 3h05m, 2d04h; "-" for none or 0.
std::string Duration(const Json &value)
{
    if (!value.is_number() || value.get<double>() <= 0) {
        return "-";
    }
    const auto seconds         = static_cast<std::int64_t>(value.get<double>());
    const std::int64_t units[] = {86400, 3600, 60, 1};
    const char *names[]        = {"d", "h", "m", "s"};
    std::size_t first          = 0;
    while (first + 1 < std::size(units) && seconds < units[first]) {
        ++first;
    }
    std::string text = std::to_string(seconds / units[first]) + names[first];
    if (first + 1 < std::size(units)) {
        const std::int64_t next = seconds % units[first] / units[first + 1];
        text += (next < 10 ? "0" : "") + std::to_string(next) + names[first + 1];
    }
    return text;
}

std::string Percent(const Json &value)
{
    if (!value.is_number()) {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value.get<double>());
    return text;
}

// Bytes in binary units with one decimal: 980K, 64.0M, 1.5G; "-" for none or 0.
std::string Bytes(const Json &value)
{
    if (!value.is_number() || value.get<double>() <= 0) {
        return "-";
    }
    double amount    = value.get<double>() / 1024;
    const char *unit = "K";
    for (const char *larger : {"M", "G", "T"}) {
        if (amount < 1024) {
            break;
        }
        amount /= 1024;
        unit = larger;
    }
    char text[32];
    std::snprintf(text, sizeof text, amount < 10 ? "%.1f%s" : "%.0f%s", amount, unit);
    return text;
}

}  // namespace

const std::vector<Column> kProcessColumns = {{"NAME", "name"},
                                             {"HOST", "host"},
                                             {"STATE", "state"},
                                             {"PID", "pid"},
                                             {"HEALTH", "health"},
                                             {"UPTIME", "uptime_seconds", Duration},
                                             {"RESTARTS", "restarts"},
                                             {"CPU%", "cpu_percent", Percent},
                                             {"MEM", "memory_bytes", Bytes},
                                             {"COMMAND", "command"}};
const std::vector<Column> kServiceColumns = {
    {"NAME", "name"}, {"TYPE", "type"}, {"START", "start"}, {"STATE", "state"}, {"MEMBERS", "members"}};
const std::vector<Column> kRouteColumns   = {{"HOST", "host"}, {"SERVER", "server"}};
const std::vector<Column> kVersionColumns = {{"SERVER", "server"}, {"VERSION", "version"}};

namespace {

constexpr const char *kReset = "\033[0m";
constexpr const char *kBold  = "\033[1m";
constexpr const char *kRed   = "\033[31m";

// The colour of a state word: good news green, half-way yellow, bad news red.
std::string StateColour(const std::string &state)
{
    static const std::map<std::string, std::string> kColours = {
        {"running", "\033[32m"}, {"partial", "\033[33m"}, {"exited", "\033[33m"}, {"failed", kRed}, {"unknown", kRed},
    };
    auto found = kColours.find(state);
    return found != kColours.end() ? found->second : "";
}

// A record's value as a cell: texts as they are, a list of records by their names.
std::string CellText(const Json &value)
{
    if (value.is_string()) {
        return value.get<std::string>();
    }
    if (value.is_null()) {
        return "-";
    }
    if (value.is_array()) {
        std::string names;
        for (const Json &item : value) {
            names += (names.empty() ? "" : ",") + CellText(item.value("name", Json()));
        }
        return names;
    }
    return value.dump();
}

bool IsError(const Json &record) { return record.contains("error"); }

// The cells of each record under the columns; an error record has two: its first column's and
// the error.
std::vector<std::vector<std::string>> Cells(const std::vector<Column> &columns, const Json &records)
{
    std::vector<std::vector<std::string>> rows;
    for (const Json &record : records) {
        std::vector<std::string> row;
        if (IsError(record)) {
            row = {CellText(record.value(columns.front().key, Json())), CellText(record["error"])};
        } else {
            for (const Column &column : columns) {
                const Json value = record.value(column.key, Json());
                row.push_back(column.format != nullptr ? column.format(value) : CellText(value));
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string Dump(const Json &document) { return document.dump(2, ' ', false, Json::error_handler_t::replace); }

}  // namespace

std::vector<Column> WithServer(const std::vector<Column> &columns)
{
    std::vector<Column> merged = {{"SERVER", "server"}};
    std::copy_if(columns.begin(), columns.end(), std::back_inserter(merged),
                 [](const Column &column) { return column.key != "server"; });
    return merged;
}

Output Output::ToStandardOutput(bool json)
{
    if (json) {
        return Output(std::cout, Style::kDocument, false);
    }
    const bool terminal   = isatty(STDOUT_FILENO) == 1;
    const char *no_colour = std::getenv("NO_COLOR");
    return Output(std::cout, terminal ? Style::kTable : Style::kPlain,
                  terminal && (no_colour == nullptr || *no_colour == '\0'));
}

void Output::Records(const std::vector<Column> &columns, const Json &records) const
{
    switch (style_) {
    case Style::kDocument: Document(records); break;
    case Style::kTable: Aligned(columns, records); break;
    case Style::kPlain: Tabbed(columns, records); break;
    }
}

void Output::Outcomes(const std::vector<Outcome> &outcomes) const
{
    if (AsJson()) {
        Json records = Json::array();
        for (const Outcome &outcome : outcomes) {
            records.push_back(outcome.record);
        }
        Document(records);
        return;
    }
    for (const Outcome &outcome : outcomes) {
        out_ << outcome.sentence << '\n';
    }
}

void Output::Document(const Json &document) const { out_ << Dump(document) << '\n'; }

void Output::Aligned(const std::vector<Column> &columns, const Json &records) const
{
    const auto rows = Cells(columns, records);
    std::vector<std::size_t> widths;
    for (const Column &column : columns) {
        widths.push_back(column.title.size());
    }
    // An error spans the columns after the first: it sets no width but the first.
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const std::size_t measured = IsError(records[r]) ? 1 : rows[r].size();
        for (std::size_t i = 0; i < measured && i + 1 < widths.size(); ++i) {
            widths[i] = std::max(widths[i], rows[r][i].size());
        }
    }
    // Pads every cell but the last, then paints it, so that colour codes take no width.
    auto line = [&](const std::vector<std::string> &cells, auto paint) {
        for (std::size_t i = 0; i < cells.size(); ++i) {
            std::string cell = cells[i];
            if (i + 1 < cells.size()) {
                cell.resize(std::max(cell.size(), widths[i]), ' ');
                cell += "  ";
            }
            out_ << paint(i, cell);
        }
        out_ << '\n';
    };
    std::vector<std::string> titles;
    for (const Column &column : columns) {
        titles.push_back(column.title);
    }
    line(titles, [&](std::size_t, const std::string &cell) { return Painted(cell, kBold); });
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const bool error = IsError(records[r]);
        line(rows[r], [&](std::size_t i, const std::string &cell) {
            if (error && i == 1) {
                return Painted(cell, kRed);
            }
            return !error && columns[i].key == "state" ? Painted(cell, StateColour(rows[r][i])) : cell;
        });
    }
}

void Output::Tabbed(const std::vector<Column> &columns, const Json &records) const
{
    for (const auto &row : Cells(columns, records)) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            out_ << (i == 0 ? "" : "\t") << row[i];
        }
        out_ << '\n';
    }
}

std::string Output::Painted(const std::string &text, const std::string &colour) const
{
    return colour_ && !colour.empty() ? colour + text + kReset : text;
}

}  // namespace patools
