// Reading a configuration file: everything the library's writer produces, escapes included.
#include <cctype>
#include <charconv>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "core/config_file.h"

namespace paagent {

namespace {

constexpr std::string_view kMagic = "#ZEB_PA3";

struct Token {
    enum class Kind { Word, Quoted, Open, Close, Equals, End } kind;
    std::string text;
    int line;
};

// Splits the file into words, quoted texts and punctuation. '#' outside a quoted text starts a
// comment; inside one, a backslash before an apostrophe keeps the apostrophe in the text.
std::vector<Token> tokenize(std::string_view text) {
    std::vector<Token> tokens;
    int line = 1;
    std::size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '\n') {
            ++line;
            ++i;
        } else if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '#') {
            while (i < text.size() && text[i] != '\n') ++i;
        } else if (c == '{' || c == '}' || c == '=') {
            tokens.push_back({c == '{' ? Token::Kind::Open : c == '}' ? Token::Kind::Close : Token::Kind::Equals, {}, line});
            ++i;
        } else if (c == '\'') {
            const int start = line;
            std::string value;
            ++i;
            for (;; ++i) {
                if (i >= text.size()) throw ConfigError(start, "unterminated quoted text");
                if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\'') {
                    value.push_back('\'');
                    ++i;
                } else if (text[i] == '\'') {
                    ++i;
                    break;
                } else {
                    if (text[i] == '\n') ++line;
                    value.push_back(text[i]);
                }
            }
            tokens.push_back({Token::Kind::Quoted, std::move(value), start});
        } else {
            std::size_t end = i;
            while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])) &&
                   std::string_view("{}='#").find(text[end]) == std::string_view::npos) {
                ++end;
            }
            tokens.push_back({Token::Kind::Word, std::string(text.substr(i, end - i)), line});
            i = end;
        }
    }
    tokens.push_back({Token::Kind::End, {}, line});
    return tokens;
}

class Parser {
public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    Definitions parse() {
        while (peek().kind != Token::Kind::End) {
            const Token& keyword = word();
            if (keyword.text == "zeb_process") {
                process_block();
            } else if (keyword.text == "zeb_service") {
                service_block();
            } else if (keyword.text == "zeb_routing") {
                routing_block();
            } else {
                throw ConfigError(keyword.line, "unknown block '" + keyword.text + "'");
            }
        }
        return resolve();
    }

private:
    struct MemberReference {
        std::string process;
        MemberValue value;
        int line;
    };
    struct PendingService {
        ServiceSpec definition;
        std::vector<MemberReference> members;
    };

    const Token& peek() const { return tokens_[position_]; }
    const Token& take() {
        const Token& token = tokens_[position_];
        if (token.kind != Token::Kind::End) ++position_;
        return token;
    }
    const Token& expect(Token::Kind kind, const char* what) {
        const Token& token = take();
        if (token.kind != kind) throw ConfigError(token.line, std::string("expected ") + what);
        return token;
    }
    const Token& word() { return expect(Token::Kind::Word, "a keyword"); }
    std::string quoted() { return expect(Token::Kind::Quoted, "a quoted text").text; }
    void equals() { expect(Token::Kind::Equals, "'='"); }

    std::int32_t integer() {
        const Token& token = word();
        std::int32_t value = 0;
        auto [end, error] = std::from_chars(token.text.data(), token.text.data() + token.text.size(), value);
        if (error != std::errc() || end != token.text.data() + token.text.size()) {
            throw ConfigError(token.line, "expected a number, found '" + token.text + "'");
        }
        return value;
    }

    // One of the given words, as its index.
    std::size_t choice(std::initializer_list<std::string_view> words) {
        const Token& token = word();
        std::size_t index = 0;
        for (std::string_view candidate : words) {
            if (token.text == candidate) return index;
            ++index;
        }
        throw ConfigError(token.line, "unexpected value '" + token.text + "'");
    }

    // A single blank is what the writer puts for an absent text.
    static std::optional<std::string> optional(std::string text) {
        if (text == " ") return std::nullopt;
        return text;
    }

    void process_block() {
        ProcessSpec definition;
        definition.name = quoted();
        expect(Token::Kind::Open, "'{'");
        while (peek().kind != Token::Kind::Close) {
            const Token& attribute = word();
            if (attribute.text == "Command") {
                definition.command = optional(quoted()).value_or("");
                if (word().text != "run" || word().text != "as") throw ConfigError(attribute.line, "expected 'run as'");
                definition.euid = integer();
            } else if (attribute.text == "Host") {
                equals();
                definition.host = optional(quoted()).value_or("");
            } else if (attribute.text == "Managed") {
                equals();
                definition.managed = choice({"False", "True"}) == 1;
            } else if (attribute.text == "RestartMsg") {
                equals();
                definition.restart_message = optional(quoted());
            } else if (attribute.text == "AlertMsg") {
                equals();
                definition.alert_message = optional(quoted());
            } else if (attribute.text == "RetryCount") {
                equals();
                definition.retry_count = integer();
            } else if (attribute.text == "ProcessType") {
                equals();
                definition.type = static_cast<ProcessType>(choice({"PaDAEMON_PROCESS", "PaPA_AWARE", "PaNOT_PA_AWARE"}));
            } else {
                throw ConfigError(attribute.line, "unknown process attribute '" + attribute.text + "'");
            }
        }
        take();
        std::string name = definition.name;
        processes_[name] = std::move(definition);
    }

    void service_block() {
        PendingService service;
        service.definition.name = quoted();
        expect(Token::Kind::Open, "'{'");
        while (peek().kind != Token::Kind::Close) {
            const Token& attribute = word();
            if (attribute.text == "ServiceType") {
                equals();
                service.definition.type = static_cast<std::int32_t>(choice({"Master", "Non-Master"}));
            } else if (attribute.text == "ServiceStart") {
                equals();
                service.definition.start = choice({"Auto", "Non-Auto"}) == 0 ? 2 : 3;
            } else if (attribute.text == "process") {
                MemberReference member{quoted(), {}, attribute.line};
                if (peek().kind == Token::Kind::Quoted) {
                    member.value = quoted();
                } else if (peek().kind == Token::Kind::Word && peek().text == "NONE") {
                    take();
                } else {
                    member.value = integer();
                }
                service.members.push_back(std::move(member));
            } else {
                throw ConfigError(attribute.line, "unknown service attribute '" + attribute.text + "'");
            }
        }
        take();
        services_.push_back(std::move(service));
    }

    void routing_block() {
        expect(Token::Kind::Open, "'{'");
        while (peek().kind != Token::Kind::Close) {
            const Token& keyword = word();
            if (keyword.text != "host") throw ConfigError(keyword.line, "expected 'host'");
            Route route;
            route.host = quoted();
            route.server = quoted();
            routes_.push_back(std::move(route));
        }
        take();
    }

    Definitions resolve() {
        Definitions definitions;
        for (auto& service : services_) {
            for (auto& member : service.members) {
                auto process = processes_.find(member.process);
                if (process == processes_.end()) {
                    throw ConfigError(member.line, "service " + service.definition.name + " names undefined process " + member.process);
                }
                service.definition.members.push_back({process->second, std::move(member.value)});
            }
            definitions.services.push_back(std::move(service.definition));
        }
        definitions.routes = std::move(routes_);
        return definitions;
    }

    std::vector<Token> tokens_;
    std::size_t position_ = 0;
    std::map<std::string, ProcessSpec> processes_;
    std::vector<PendingService> services_;
    std::vector<Route> routes_;
};

}  // namespace

Definitions parse_config(std::string_view text) {
    if (text.substr(0, text.find('\n')) != kMagic) {
        throw ConfigError(1, "not a process agent configuration file (it must start with " + std::string(kMagic) + ")");
    }
    return Parser(tokenize(text)).parse();
}

Definitions load_config(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (!std::filesystem::exists(path)) return {};
        throw std::runtime_error("cannot read " + path.string());
    }
    std::ostringstream text;
    text << file.rdbuf();
    return parse_config(text.str());
}

}  // namespace paagent
