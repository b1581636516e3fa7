// fuzz/signature_fuzz.cpp: the signature-line parser throws nothing but std::invalid_argument,
// and a line it accepts, written back out, parses to the same record.
#include "frame/signature.h"

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

std::string render(const nivra::Signature& sig) {
    std::string line = sig.name + "(";
    bool first = true;
    for (const nivra::ParamSpec& p : sig.params) {
        if (!first) line += ", ";
        first = false;
        if (p.kind != nivra::Kind::Any) line += std::string(nivra::kind_word(p.kind)) + " ";
        line += p.name;
        if (!p.annotation.empty()) line += ": " + p.annotation;
        if (p.has_default) line += " = " + p.default_text;
    }
    if (sig.has_varkw) {
        if (!first) line += ", ";
        line += "**" + sig.varkw_name;
        if (!sig.varkw_annotation.empty()) line += ": " + sig.varkw_annotation;
    }
    line += ")";
    if (!sig.return_annotation.empty()) line += " -> " + sig.return_annotation;
    return line;
}

bool same(const nivra::Signature& a, const nivra::Signature& b) {
    if (a.name != b.name || a.has_varkw != b.has_varkw || a.varkw_name != b.varkw_name ||
        a.varkw_annotation != b.varkw_annotation || a.return_annotation != b.return_annotation ||
        a.required != b.required || a.params.size() != b.params.size())
        return false;
    for (std::size_t i = 0; i < a.params.size(); ++i) {
        const nivra::ParamSpec &p = a.params[i], &q = b.params[i];
        if (p.name != q.name || p.annotation != q.annotation || p.default_text != q.default_text ||
            p.kind != q.kind || p.has_default != q.has_default || p.optional != q.optional)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    nivra::Signature sig;
    try {
        sig = nivra::parse_signature(line);
    } catch (const std::invalid_argument&) {
        return 0;  // the one documented failure
    }  // anything else escapes and aborts the run
    // The record is internally consistent...
    std::size_t required = 0;
    for (const nivra::ParamSpec& p : sig.params) {
        if (!p.has_default) {
            if (required != static_cast<std::size_t>(&p - sig.params.data())) std::abort();
            ++required;
        }
        if (p.optional != (p.annotation.rfind("Optional[", 0) == 0)) std::abort();
    }
    if (required != sig.required) std::abort();
    // ...and survives being written out and read back.
    const std::string again = render(sig);
    nivra::Signature sig2;
    try {
        sig2 = nivra::parse_signature(again);
    } catch (const std::invalid_argument&) {
        std::abort();
    }
    if (!same(sig, sig2) || render(sig2) != again) std::abort();
    return 0;
}
