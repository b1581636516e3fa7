// viz/frame/signature.h: a function's signature line, parsed into the record that drives binding.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nivra {

/// How a parameter's argument is converted or tested on entry.
enum class Kind : unsigned char {
    Any,      // no type word: any object
    Int,      // exact int kept, other numbers go through int()
    Bool,     // truth value of any object
    OptBool,  // only True, False or None
    Str,      // exactly str
    Dict,     // exactly dict
    Tuple,    // exactly tuple
};

struct ParamSpec {
    std::string name;
    std::string annotation;    // text after ": ", empty when none
    std::string default_text;  // text after " = ", empty when none
    Kind kind = Kind::Any;
    bool has_default = false;
    bool optional = false;  // annotation is Optional[...]: None also accepted
};

/// What a line such as "f(int n: int = 10, **kwargs: Any) -> str" says.
struct Signature {
    std::string name;
    std::vector<ParamSpec> params;  // positional-or-keyword, in order
    bool has_varkw = false;
    std::string varkw_name;
    std::string varkw_annotation;
    std::string return_annotation;
    std::size_t required = 0;  // parameters without a default
};

/// Parses a signature line; throws std::invalid_argument on a malformed line
/// (never anything else, whatever the input).
Signature parse_signature(std::string_view line);

/// The type word written for a kind ("int", "bool", ...); "" for Kind::Any.
const char* kind_word(Kind kind) noexcept;

}  // namespace nivra
