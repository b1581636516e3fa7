// viz/frame/signature.cpp: parser for signature lines ("name(params) -> annotation").
#include "signature.h"

namespace nivra {
namespace {

[[noreturn]] void bad(std::string_view line, const char* why) {
    throw std::invalid_argument(std::string("bad signature line (") + why + "): " +
                                std::string(line.substr(0, 200)));
}

bool is_ident_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_ident(char c) { return is_ident_start(c) || (c >= '0' && c <= '9'); }

bool is_identifier(std::string_view s) {
    if (s.empty() || !is_ident_start(s[0])) return false;
    for (char c : s)
        if (!is_ident(c)) return false;
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// Reads a text left to right, keeping track of quotes and bracket depth.
class Nesting {
public:
    enum Mark { Quoted, Open, Close, Plain };

    // What s[i] is; inside quotes an escaped character is stepped over (i moves onto it).
    Mark read(std::string_view s, std::size_t& i) {
        char c = s[i];
        if (quote_) {
            if (c == '\\') ++i;
            else if (c == quote_) quote_ = 0;
            return Quoted;
        }
        if (c == '\'' || c == '"') {
            quote_ = c;
            return Quoted;
        }
        if (c == '(' || c == '[') {
            ++depth_;
            return Open;
        }
        if (c == ')' || c == ']') {
            --depth_;
            return Close;
        }
        return Plain;
    }
    int depth() const { return depth_; }
    bool balanced() const { return quote_ == 0 && depth_ == 0; }

private:
    int depth_ = 0;
    char quote_ = 0;
};

// Splits on `sep` at bracket depth 0 and outside quotes.
std::vector<std::string_view> split_top(std::string_view s, char sep, std::string_view line) {
    std::vector<std::string_view> parts;
    Nesting n;
    std::size_t start = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        Nesting::Mark m = n.read(s, i);
        if (m == Nesting::Close && n.depth() < 0) bad(line, "unbalanced brackets");
        if (m == Nesting::Plain && s[i] == sep && n.depth() == 0) {
            parts.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    if (!n.balanced()) bad(line, "unbalanced brackets or quotes");
    parts.push_back(s.substr(start));
    return parts;
}

// Finds `needle` at bracket depth 0 and outside quotes; npos when absent.
std::size_t find_top(std::string_view s, std::string_view needle) {
    Nesting n;
    for (std::size_t i = 0; i < s.size(); ++i)
        if (n.read(s, i) == Nesting::Plain && n.depth() == 0 && s.substr(i, needle.size()) == needle) return i;
    return std::string_view::npos;
}

Kind kind_of(std::string_view word, bool optional, std::string_view line) {
    if (word == "int") return Kind::Int;
    if (word == "bool") return optional ? Kind::OptBool : Kind::Bool;
    if (word == "str") return Kind::Str;
    if (word == "dict") return Kind::Dict;
    if (word == "tuple") return Kind::Tuple;
    bad(line, "unknown type word");
}

ParamSpec parse_param(std::string_view text, std::string_view line) {
    ParamSpec p;
    std::string_view head = text;
    if (std::size_t eq = find_top(text, " = "); eq != std::string_view::npos) {
        p.has_default = true;
        p.default_text = std::string(trim(text.substr(eq + 3)));
        if (p.default_text.empty()) bad(line, "empty default");
        head = text.substr(0, eq);
    }
    if (std::size_t colon = find_top(head, ": "); colon != std::string_view::npos) {
        p.annotation = std::string(trim(head.substr(colon + 2)));
        head = head.substr(0, colon);
    }
    head = trim(head);
    p.optional = p.annotation.rfind("Optional[", 0) == 0;
    if (std::size_t space = head.find(' '); space != std::string_view::npos) {
        p.kind = kind_of(head.substr(0, space), p.optional, line);
        head = trim(head.substr(space + 1));
    }
    if (!is_identifier(head)) bad(line, "parameter name");
    p.name = std::string(head);
    return p;
}

}  // namespace

const char* kind_word(Kind kind) noexcept {
    switch (kind) {
        case Kind::Int: return "int";
        case Kind::Bool:
        case Kind::OptBool: return "bool";
        case Kind::Str: return "str";
        case Kind::Dict: return "dict";
        case Kind::Tuple: return "tuple";
        case Kind::Any: break;
    }
    return "";
}

Signature parse_signature(std::string_view line) {
    Signature sig;
    std::size_t open = line.find('(');
    if (open == std::string_view::npos) bad(line, "no parameter list");
    sig.name = std::string(line.substr(0, open));
    if (!is_identifier(sig.name)) bad(line, "function name");

    // The parameter list ends at the bracket that closes the first one.
    Nesting n;
    std::size_t close = std::string_view::npos;
    for (std::size_t i = open; i < line.size() && close == std::string_view::npos; ++i) {
        if (n.read(line, i) == Nesting::Close && n.depth() == 0) {
            if (line[i] != ')') bad(line, "unbalanced brackets");
            close = i;
        }
    }
    if (close == std::string_view::npos) bad(line, "unterminated parameter list");

    std::string_view rest = line.substr(close + 1);
    if (!rest.empty()) {
        if (rest.substr(0, 4) != " -> " || trim(rest.substr(4)).empty()) bad(line, "return annotation");
        sig.return_annotation = std::string(trim(rest.substr(4)));
    }

    std::string_view inner = line.substr(open + 1, close - open - 1);
    if (trim(inner).empty()) return sig;
    for (std::string_view part : split_top(inner, ',', line)) {
        part = trim(part);
        if (sig.has_varkw) bad(line, "parameter after **kwargs");
        if (part.substr(0, 2) == "**") {
            ParamSpec p = parse_param(part.substr(2), line);
            if (p.kind != Kind::Any || p.has_default) bad(line, "typed or defaulted **kwargs");
            sig.has_varkw = true;
            sig.varkw_name = p.name;
            sig.varkw_annotation = p.annotation;
            continue;
        }
        ParamSpec p = parse_param(part, line);
        if (!p.has_default && sig.required != sig.params.size())
            bad(line, "parameter without default after one with a default");
        for (const ParamSpec& q : sig.params)
            if (q.name == p.name) bad(line, "duplicate parameter");
        if (!p.has_default) ++sig.required;
        sig.params.push_back(std::move(p));
    }
    if (sig.has_varkw)
        for (const ParamSpec& q : sig.params)
            if (q.name == sig.varkw_name) bad(line, "duplicate parameter");
    return sig;
}

}  // namespace nivra
