// Reading a configuration file: everything the library's writer produces, escapes included.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <map>
#include <protocol/config_text.h>
#include <span>
#include <sstream>
#include <vector>

#include "core/config_file.h"

namespace paagent {

namespace {

namespace config = pa::protocol::config;

struct Token {
    enum class Kind {
        Word,
        Quoted,
        Open,
        Close,
        Equals,
        End
    } kind;
    std::string text;
    int line;
};

// Reads the quoted text whose opening apostrophe is at text[i]: returns the text it stands for,
// and moves i past its closing apostrophe and line past the line ends inside it.
std::string quoted_text(std::string_view text, std::size_t &i, int &line)
{
    const std::size_t close = config::QuotedEnd(text, i + 1);
    if (close == std::string_view::npos)
        throw ConfigError(line, "unterminated quoted text");
    const std::string_view raw = text.substr(i + 1, close - i - 1);
    // The writer cannot carry a zero byte, so a definition holding one could never be saved again.
    if (!config::Writable(raw))
        throw ConfigError(line, "a quoted text holds a zero byte");
    std::string value;
    value.reserve(raw.size());
    config::Unescape(raw, [&value](char c) { value.push_back(c); });
    line += static_cast<int>(std::count(raw.begin(), raw.end(), '\n'));
    i = close + 1;
    return value;
}

// Splits the file into words, quoted texts and punctuation. '#' outside a quoted text starts a
// comment; inside one, everything up to the closing apostrophe is text, escapes undone.
std::vector<Token> tokenize(std::string_view text)
{
    std::vector<Token> tokens;
    int line      = 1;
    std::size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '\n') {
            ++line;
            ++i;
        } else if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '#') {
            while (i < text.size() && text[i] != '\n')
                ++i;
        } else if (c == '{' || c == '}' || c == '=') {
            tokens.push_back({c == '{'   ? Token::Kind::Open
                              : c == '}' ? Token::Kind::Close
                                         : Token::Kind::Equals,
                              {},
                              line});
            ++i;
        } else if (c == config::kQuote) {
            const int start   = line;
            std::string value = quoted_text(text, i, line);
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

    Definitions parse(ConfigEnding ending)
    {
        bool routing_last = false;
        while (peek().kind != Token::Kind::End) {
            const Token &keyword = word();
            routing_last         = keyword.text == config::kRoutingBlock;
            if (keyword.text == config::kProcessBlock) {
                process_block();
            } else if (keyword.text == config::kServiceBlock) {
                service_block();
            } else if (keyword.text == config::kRoutingBlock) {
                routing_block();
            } else {
                throw ConfigError(keyword.line, "unknown block '" + keyword.text + "'");
            }
        }
        if (ending == ConfigEnding::Routing && !routing_last) {
            throw ConfigError(peek().line, "the file looks cut short: it does not end with a " +
                                               std::string(config::kRoutingBlock) +
                                               " section, which every file the agent writes ends with");
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

    const Token &peek() const { return tokens_[position_]; }
    const Token &take()
    {
        const Token &token = tokens_[position_];
        if (token.kind != Token::Kind::End)
            ++position_;
        return token;
    }
    const Token &expect(Token::Kind kind, const char *what)
    {
        const Token &token = take();
        if (token.kind != kind)
            throw ConfigError(token.line, std::string("expected ") + what);
        return token;
    }
    const Token &word() { return expect(Token::Kind::Word, "a keyword"); }
    std::string quoted() { return expect(Token::Kind::Quoted, "a quoted text").text; }
    void equals() { expect(Token::Kind::Equals, "'='"); }

    std::int32_t integer()
    {
        const Token &token = word();
        std::int32_t value = 0;
        auto [end, error]  = std::from_chars(token.text.data(), token.text.data() + token.text.size(), value);
        if (error != std::errc() || end != token.text.data() + token.text.size()) {
            throw ConfigError(token.line, "expected a number, found '" + token.text + "'");
        }
        return value;
    }

    // One of the given words, as its index.
    std::size_t choice(std::span<const std::string_view> words)
    {
        const Token &token = word();
        std::size_t index  = 0;
        for (std::string_view candidate : words) {
            if (token.text == candidate)
                return index;
            ++index;
        }
        throw ConfigError(token.line, "unexpected value '" + token.text + "'");
    }

    // The writer puts a single blank for an absent message.
    static std::optional<std::string> message(std::string text)
    {
        if (text == config::kAbsentText)
            return std::nullopt;
        return text;
    }

    void process_block()
    {
        ProcessSpec definition;
        const int line  = peek().line;
        definition.name = quoted();
        if (definition.name.empty())
            throw ConfigError(line, "a process needs a name");
        expect(Token::Kind::Open, "'{'");
        while (peek().kind != Token::Kind::Close) {
            const Token &attribute = word();
            if (attribute.text == config::kCommand) {
                definition.command    = quoted();
                const std::string run = word().text;
                if (run + " " + word().text != config::kRunAs) {
                    throw ConfigError(attribute.line, "expected '" + std::string(config::kRunAs) + "'");
                }
                definition.euid = integer();
            } else if (attribute.text == config::kHost) {
                equals();
                definition.host = quoted();
            } else if (attribute.text == config::kManaged) {
                equals();
                definition.managed = choice(config::kManagedWords) == 1;
            } else if (attribute.text == config::kRestartMsg) {
                equals();
                definition.restart_message = message(quoted());
            } else if (attribute.text == config::kAlertMsg) {
                equals();
                definition.alert_message = message(quoted());
            } else if (attribute.text == config::kRetryCount) {
                equals();
                definition.retry_count = integer();
            } else if (attribute.text == config::kProcessType) {
                equals();
                definition.type = static_cast<ProcessType>(choice(config::kProcessTypeWords));
            } else {
                throw ConfigError(attribute.line, "unknown process attribute '" + attribute.text + "'");
            }
        }
        take();
        if (definition.command.empty())
            throw ConfigError(line, "process " + definition.name + " has no command");
        std::string name = definition.name;
        processes_[name] = std::move(definition);
    }

    void service_block()
    {
        PendingService service;
        const int line          = peek().line;
        service.definition.name = quoted();
        if (service.definition.name.empty())
            throw ConfigError(line, "a service needs a name");
        expect(Token::Kind::Open, "'{'");
        while (peek().kind != Token::Kind::Close) {
            const Token &attribute = word();
            if (attribute.text == config::kServiceType) {
                equals();
                service.definition.type = static_cast<std::int32_t>(choice(config::kServiceTypeWords));
            } else if (attribute.text == config::kServiceStart) {
                equals();
                const bool automatic     = choice(config::kServiceStartWords) == 0;
                const ServiceStart start = automatic ? ServiceStart::Auto : ServiceStart::NonAuto;
                service.definition.start = static_cast<std::int32_t>(start);
            } else if (attribute.text == config::kMember) {
                MemberReference member{quoted(), {}, attribute.line};
                if (std::any_of(service.members.begin(), service.members.end(),
                                [&](const MemberReference &listed) { return listed.process == member.process; })) {
                    throw ConfigError(member.line, "service " + service.definition.name + " lists process " +
                                                       member.process + " twice");
                }
                if (peek().kind == Token::Kind::Quoted) {
                    member.value = quoted();
                } else if (peek().kind == Token::Kind::Word && peek().text == config::kNoMemberValue) {
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

    void routing_block()
    {
        expect(Token::Kind::Open, "'{'");
        while (peek().kind != Token::Kind::Close) {
            const Token &keyword = word();
            if (keyword.text != config::kRoute) {
                throw ConfigError(keyword.line, "expected '" + std::string(config::kRoute) + "'");
            }
            Route route;
            route.host   = quoted();
            route.server = quoted();
            routes_.push_back(std::move(route));
        }
        take();
    }

    Definitions resolve()
    {
        Definitions definitions;
        for (auto &service : services_) {
            for (auto &member : service.members) {
                auto process = processes_.find(member.process);
                if (process == processes_.end()) {
                    throw ConfigError(member.line, "service " + service.definition.name + " names undefined process " +
                                                       member.process);
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

Definitions parse_config(std::string_view text, ConfigEnding ending)
{
    if (text.substr(0, text.find('\n')) != config::kMagic) {
        throw ConfigError(1, "not a process agent configuration file (it must start with " +
                                 std::string(config::kMagic) + ")");
    }
    return Parser(tokenize(text)).parse(ending);
}

Definitions load_config(const std::filesystem::path &path, ConfigEnding ending)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (!std::filesystem::exists(path))
            return {};
        throw std::runtime_error("cannot read " + path.string());
    }
    std::ostringstream text;
    text << file.rdbuf();
    return parse_config(text.str(), ending);
}

}  // namespace paagent
