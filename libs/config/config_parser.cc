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

#include "config/config_file.h"

namespace agentclient::config {

namespace {

namespace format = pa::protocol::config;

struct Token {
    enum class Kind {
        kWord,
        kQuoted,
        kOpen,
        kClose,
        kEquals,
        kEnd
    } kind;
    std::string text;
    int line;
};

// Reads the quoted text whose opening apostrophe is at text[i]: returns the text it stands for,
// and moves i past its closing apostrophe and line past the line ends inside it.
std::string QuotedText(std::string_view text, std::size_t &i, int &line)
{
    const std::size_t close = format::QuotedEnd(text, i + 1);
    if (close == std::string_view::npos) {
        throw ConfigError(line, "unterminated quoted text");
    }
    const std::string_view raw = text.substr(i + 1, close - i - 1);
    // The writer cannot carry a zero byte, so a definition holding one could never be saved again.
    if (!format::Writable(raw)) {
        throw ConfigError(line, "a quoted text holds a zero byte");
    }
    std::string value;
    value.reserve(raw.size());
    format::Unescape(raw, [&value](char c) { value.push_back(c); });
    line += static_cast<int>(std::count(raw.begin(), raw.end(), '\n'));
    i = close + 1;
    return value;
}

// Splits the file into words, quoted texts and punctuation. '#' outside a quoted text starts a
// comment; inside one, everything up to the closing apostrophe is text, escapes undone.
std::vector<Token> Tokenize(std::string_view text)
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
            while (i < text.size() && text[i] != '\n') {
                ++i;
            }
        } else if (c == '{' || c == '}' || c == '=') {
            tokens.push_back({c == '{'   ? Token::Kind::kOpen
                              : c == '}' ? Token::Kind::kClose
                                         : Token::Kind::kEquals,
                              {},
                              line});
            ++i;
        } else if (c == format::kQuote) {
            const int start   = line;
            std::string value = QuotedText(text, i, line);
            tokens.push_back({Token::Kind::kQuoted, std::move(value), start});
        } else {
            std::size_t end = i;
            while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])) &&
                   std::string_view("{}='#").find(text[end]) == std::string_view::npos) {
                ++end;
            }
            tokens.push_back({Token::Kind::kWord, std::string(text.substr(i, end - i)), line});
            i = end;
        }
    }
    tokens.push_back({Token::Kind::kEnd, {}, line});
    return tokens;
}

class Parser {
public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    Definitions Parse(ConfigEnding ending)
    {
        bool routing_last = false;
        while (Peek().kind != Token::Kind::kEnd) {
            const Token &keyword = Word();
            routing_last         = keyword.text == format::kRoutingBlock;
            if (keyword.text == format::kProcessBlock) {
                ProcessBlock();
            } else if (keyword.text == format::kServiceBlock) {
                ServiceBlock();
            } else if (keyword.text == format::kRoutingBlock) {
                RoutingBlock();
            } else {
                throw ConfigError(keyword.line, "unknown block '" + keyword.text + "'");
            }
        }
        if (ending == ConfigEnding::kRouting && !routing_last) {
            throw ConfigError(Peek().line, "the file looks cut short: it does not end with a " +
                                               std::string(format::kRoutingBlock) +
                                               " section, which every file the agent writes ends with");
        }
        return Resolve();
    }

private:
    struct MemberReference {
        std::string process;
        MemberValue value;
        int line;
    };
    struct PendingService {
        Service definition;
        std::vector<MemberReference> members;
    };

    const Token &Peek() const { return tokens_[position_]; }
    const Token &Take()
    {
        const Token &token = tokens_[position_];
        if (token.kind != Token::Kind::kEnd) {
            ++position_;
        }
        return token;
    }
    const Token &Expect(Token::Kind kind, const char *what)
    {
        const Token &token = Take();
        if (token.kind != kind) {
            throw ConfigError(token.line, std::string("expected ") + what);
        }
        return token;
    }
    const Token &Word() { return Expect(Token::Kind::kWord, "a keyword"); }
    std::string Quoted() { return Expect(Token::Kind::kQuoted, "a quoted text").text; }
    void Equals() { Expect(Token::Kind::kEquals, "'='"); }

    std::int32_t Integer()
    {
        const Token &token = Word();
        std::int32_t value = 0;
        auto [end, error]  = std::from_chars(token.text.data(), token.text.data() + token.text.size(), value);
        if (error != std::errc() || end != token.text.data() + token.text.size()) {
            throw ConfigError(token.line, "expected a number, found '" + token.text + "'");
        }
        return value;
    }

    // One of the given words, as its index.
    std::size_t Choice(std::span<const std::string_view> words)
    {
        const Token &token = Word();
        std::size_t index  = 0;
        for (std::string_view candidate : words) {
            if (token.text == candidate) {
                return index;
            }
            ++index;
        }
        throw ConfigError(token.line, "unexpected value '" + token.text + "'");
    }

    // The writer puts a single blank for an absent message.
    static std::optional<std::string> Message(std::string text)
    {
        if (text == format::kAbsentText) {
            return std::nullopt;
        }
        return text;
    }

    void ProcessBlock()
    {
        Process definition;
        const int line  = Peek().line;
        definition.name = Quoted();
        if (definition.name.empty()) {
            throw ConfigError(line, "a process needs a name");
        }
        Expect(Token::Kind::kOpen, "'{'");
        while (Peek().kind != Token::Kind::kClose) {
            const Token &attribute = Word();
            if (attribute.text == format::kCommand) {
                definition.command    = Quoted();
                const std::string run = Word().text;
                if (run + " " + Word().text != format::kRunAs) {
                    throw ConfigError(attribute.line, "expected '" + std::string(format::kRunAs) + "'");
                }
                definition.euid = Integer();
            } else if (attribute.text == format::kHost) {
                Equals();
                definition.host = Quoted();
            } else if (attribute.text == format::kManaged) {
                Equals();
                definition.managed = Choice(format::kManagedWords) == 1;
            } else if (attribute.text == format::kRestartMsg) {
                Equals();
                definition.restart_message = Message(Quoted());
            } else if (attribute.text == format::kAlertMsg) {
                Equals();
                definition.alert_message = Message(Quoted());
            } else if (attribute.text == format::kRetryCount) {
                Equals();
                definition.retry_count = Integer();
            } else if (attribute.text == format::kProcessType) {
                Equals();
                definition.type = static_cast<ProcessType>(Choice(format::kProcessTypeWords));
            } else {
                throw ConfigError(attribute.line, "unknown process attribute '" + attribute.text + "'");
            }
        }
        Take();
        if (definition.command.empty()) {
            throw ConfigError(line, "process " + definition.name + " has no command");
        }
        std::string name = definition.name;
        processes_[name] = std::move(definition);
    }

    void ServiceBlock()
    {
        PendingService service;
        const int line          = Peek().line;
        service.definition.name = Quoted();
        if (service.definition.name.empty()) {
            throw ConfigError(line, "a service needs a name");
        }
        Expect(Token::Kind::kOpen, "'{'");
        while (Peek().kind != Token::Kind::kClose) {
            const Token &attribute = Word();
            if (attribute.text == format::kServiceType) {
                Equals();
                service.definition.type = static_cast<ServiceType>(Choice(format::kServiceTypeWords));
            } else if (attribute.text == format::kServiceStart) {
                Equals();
                const bool automatic     = Choice(format::kServiceStartWords) == 0;
                service.definition.start = automatic ? ServiceStart::kAuto : ServiceStart::kNonAuto;
            } else if (attribute.text == format::kMember) {
                MemberReference member{Quoted(), {}, attribute.line};
                if (std::any_of(service.members.begin(), service.members.end(),
                                [&](const MemberReference &listed) { return listed.process == member.process; })) {
                    throw ConfigError(member.line, "service " + service.definition.name + " lists process " +
                                                       member.process + " twice");
                }
                if (Peek().kind == Token::Kind::kQuoted) {
                    member.value = Quoted();
                } else if (Peek().kind == Token::Kind::kWord && Peek().text == format::kNoMemberValue) {
                    Take();
                } else {
                    member.value = Integer();
                }
                service.members.push_back(std::move(member));
            } else {
                throw ConfigError(attribute.line, "unknown service attribute '" + attribute.text + "'");
            }
        }
        Take();
        services_.push_back(std::move(service));
    }

    void RoutingBlock()
    {
        Expect(Token::Kind::kOpen, "'{'");
        while (Peek().kind != Token::Kind::kClose) {
            const Token &keyword = Word();
            if (keyword.text != format::kRoute) {
                throw ConfigError(keyword.line, "expected '" + std::string(format::kRoute) + "'");
            }
            Route route;
            route.host   = Quoted();
            route.server = Quoted();
            routes_.push_back(std::move(route));
        }
        Take();
    }

    Definitions Resolve()
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
    std::map<std::string, Process> processes_;
    std::vector<PendingService> services_;
    std::vector<Route> routes_;
};

}  // namespace

Definitions ParseConfig(std::string_view text, ConfigEnding ending)
{
    if (text.substr(0, text.find('\n')) != format::kMagic) {
        throw ConfigError(1, "not a process agent configuration file (it must start with " +
                                 std::string(format::kMagic) + ")");
    }
    return Parser(Tokenize(text)).Parse(ending);
}

Definitions LoadConfig(const std::filesystem::path &path, ConfigEnding ending)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (!std::filesystem::exists(path)) {
            return {};
        }
        throw std::runtime_error("cannot read " + path.string());
    }
    std::ostringstream text;
    text << file.rdbuf();
    return ParseConfig(text.str(), ending);
}

}  // namespace agentclient::config
