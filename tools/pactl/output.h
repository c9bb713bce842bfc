// Where pactl's answers go: a table for a person at a terminal, tab-separated columns for a
// script, or JSON with --json. Records come as JSON objects (records.h) in all three cases.
#ifndef PACTL_OUTPUT_H
#define PACTL_OUTPUT_H

#include "records.h"

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace patools {

// A table column: its heading, the record key it shows and how, when not as it is.
struct Column {
    Column(std::string heading, std::string record_key, std::string (*formatter)(const Json &) = nullptr)
        : title(std::move(heading)), key(std::move(record_key)), format(formatter)
    {
    }

    std::string title;
    std::string key;
    std::string (*format)(const Json &);
};

extern const std::vector<Column> kProcessColumns;
extern const std::vector<Column> kServiceColumns;
extern const std::vector<Column> kRouteColumns;
extern const std::vector<Column> kVersionColumns;

// columns with a SERVER column first, for answers merged from several agents.
std::vector<Column> WithServer(const std::vector<Column> &columns);

// Something a command did: a sentence for a person, the record for --json.
struct Outcome {
    std::string sentence;
    Json record;
};

class Output {
public:
    enum class Style {
        kTable,     // aligned, with headings; states in colour when colour is on
        kPlain,     // one line per record, fields separated by a tab, no headings
        kDocument,  // one JSON document
    };

    Output(std::ostream &out, Style style, bool colour) : out_(out), style_(style), colour_(colour) {}
    // Standard output: JSON when asked, else a table on a terminal (coloured unless NO_COLOR is
    // set and not empty) and plain columns elsewhere.
    static Output ToStandardOutput(bool json);

    bool AsJson() const { return style_ == Style::kDocument; }
    // The records (a JSON array) under the columns. A record holding "error" is shown as its
    // first column and the error.
    void Records(const std::vector<Column> &columns, const Json &records) const;
    // What a command did: one sentence a line, or the records as a JSON array.
    void Outcomes(const std::vector<Outcome> &outcomes) const;
    // A document of its own shape (--json only): written as it is.
    void Document(const Json &document) const;

private:
    void Aligned(const std::vector<Column> &columns, const Json &records) const;
    void Tabbed(const std::vector<Column> &columns, const Json &records) const;
    std::string Painted(const std::string &text, const std::string &colour) const;

    std::ostream &out_;
    Style style_;
    bool colour_;
};

}  // namespace patools

#endif  // PACTL_OUTPUT_H
