// fuzz/page_fuzz.cpp: the one-pass viewer page fill equals four successive whole-text
// replacements done the plain way (the title's later {{DATA_JSON}} kept as text), and the
// page's kind bound is the smallest that holds it; the HTML and JSON escapes equal
// character-by-character replacement (the JSON one
// reading string literals to escape the braces inside them), through every JSON kernel.
//
// The input picks tokens (placeholders, their fragments, braces, the characters the escapes
// touch, characters of every width) for the template, the title and the JSON text; width and
// height are decimal numbers. page_tokens() is mirrored in tests/test_fuzz_corpus.py.
#include "kernels/page.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using u32string = std::u32string;
namespace k = nivra::kernels;

const char32_t* const kTokens[] = {
    U"{{TITLE}}", U"{{DATA_JSON}}", U"{{WIDTH}}", U"{{HEIGHT}}", U"{{", U"}}", U"{", U"}",
    U"TITLE", U"DATA_JSON", U"WIDTH", U"HEIGHT", U"{{TI", U"TLE}}", U"{{WID", U"TH}}", U"{{HEI",
    U"GHT}}", U"{{DATA_", U"JSON}}", U"<", U">", U"&", U"\u2028", U"\u2029", U"\"", U"a",
    U"\u00e9", U"\u0100", U"\U0001F600", U"\\", U" ",
};
constexpr std::size_t kNumTokens = sizeof kTokens / sizeof kTokens[0];
constexpr std::uint8_t kNext = 0xFF;  // ends the current text

std::uint32_t kind_bound(std::uint32_t c) { return c < 128 ? 127 : c < 256 ? 255 : c < 65536 ? 0xFFFF : 0x10FFFF; }
int width_of(std::uint32_t bound) { return bound <= 255 ? 1 : bound <= 0xFFFF ? 2 : 4; }

// A text stored the way the interpreter stores a str: the narrowest width that holds it.
struct Stored {
    std::vector<unsigned char> bytes;
    k::Text text;
    explicit Stored(const u32string& s) {
        std::uint32_t top = 0;
        for (char32_t c : s) top = std::max<std::uint32_t>(top, c);
        const std::uint32_t bound = kind_bound(top);
        const int w = width_of(bound);
        bytes.resize(s.size() * w + 1);
        for (std::size_t i = 0; i < s.size(); ++i) {
            const std::uint32_t c = s[i];
            if (w == 1) bytes[i] = static_cast<unsigned char>(c);
            else if (w == 2) { std::uint16_t v = static_cast<std::uint16_t>(c); std::memcpy(&bytes[i * 2], &v, 2); }
            else std::memcpy(&bytes[i * 4], &c, 4);
        }
        text = {bytes.data(), s.size(), w, bound};
    }
};

u32string read_back(const void* data, std::size_t n, int w) {
    u32string s(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (w == 1) s[i] = static_cast<const unsigned char*>(data)[i];
        else if (w == 2) { std::uint16_t v; std::memcpy(&v, static_cast<const char*>(data) + 2 * i, 2); s[i] = v; }
        else std::memcpy(&s[i], static_cast<const char*>(data) + 4 * i, 4);
    }
    return s;
}

// str.replace: every non-overlapping occurrence, left to right.
u32string replace_all(const u32string& s, const u32string& from, const u32string& to) {
    u32string out;
    std::size_t i = 0;
    for (std::size_t j; (j = s.find(from, i)) != u32string::npos; i = j + from.size()) out += s.substr(i, j - i) + to;
    return out + s.substr(i);
}

struct Escape {
    char32_t c;
    const char32_t* as;
};

// Each character of `table` in s written as its replacement, in one pass.
u32string escaped(const u32string& s, std::initializer_list<Escape> table) {
    u32string out;
    for (char32_t c : s) {
        auto e = std::find_if(table.begin(), table.end(), [c](const Escape& x) { return x.c == c; });
        if (e == table.end()) out += c;
        else out += e->as;
    }
    return out;
}

// The script-safe escapes, and with `braces` every { inside a string literal as \u007b:
// a string opens and closes at a quote no backslash escapes, and a backslash escapes
// the next character unless it is escaped itself.
u32string json_escaped(const u32string& s, bool braces) {
    u32string out;
    bool inside = false, after_backslash = false;
    for (char32_t c : s) {
        if (braces && inside && c == U'{') out += U"\\u007b";
        else out += escaped(u32string(1, c), {{U'<', U"\\u003c"}, {U'>', U"\\u003e"}, {U'&', U"\\u0026"},
                                              {0x2028, U"\\u2028"}, {0x2029, U"\\u2029"}});
        if (after_backslash) after_backslash = false;
        else if (c == U'\\') after_backslash = true;
        else if (c == U'"') inside = !inside;
    }
    return out;
}

u32string html_escaped(const u32string& s) {
    return escaped(s, {{U'&', U"&amp;"}, {U'<', U"&lt;"}, {U'>', U"&gt;"}, {U'"', U"&quot;"}, {U'\'', U"&#x27;"}});
}

u32string ascii(const std::string& s) { return u32string(s.begin(), s.end()); }

void check_output(const u32string& want, const void* got, std::size_t n, int w, std::uint32_t bound) {
    if (read_back(got, n, w) != want) std::abort();
    std::uint32_t top = 0;
    for (char32_t c : want) top = std::max<std::uint32_t>(top, c);
    if (bound != kind_bound(top)) std::abort();  // a wider kind than needed makes a broken str
}

void check_json_and_page(const u32string& tmpl, const u32string& title, const u32string& json,
                         const u32string& width, const u32string& height) {
    for (const k::JsonBraces braces : {k::JsonBraces::Keep, k::JsonBraces::InStrings}) {
        const Stored s(json);
        const k::JsonEscapeInfo info = k::json_escape_info(s.text, braces);
        const int w = width_of(info.max_char);
        std::vector<unsigned char> out(info.length * w + 1);
        if (!k::escape_json(s.text, braces, out.data(), w, info.length)) std::abort();
        if (info.length) {
            std::vector<unsigned char> small((info.length - 1) * w);
            if (k::escape_json(s.text, braces, small.data(), w, info.length - 1)) std::abort();
        }
        check_output(json_escaped(json, braces == k::JsonBraces::InStrings), out.data(), info.length, w,
                     info.max_char);
    }
    // The page.
    const Stored st(tmpl), sti(title), sj(json), sw(width), sh(height);
    k::PagePlan plan;
    if (k::plan_page(st.text, sti.text, sj.text, sw.text, sh.text, plan) != k::PageStatus::Ok) std::abort();
    const int w = width_of(plan.max_char);
    std::vector<unsigned char> out(plan.length * w + 1);
    if (k::write_page(plan, out.data(), w) != k::PageStatus::Ok) std::abort();
    if (plan.length) {  // a plan one short: refused, nothing written past the shorter room
        k::PagePlan short_plan = plan;
        --short_plan.length;
        std::vector<unsigned char> small(short_plan.length * w);
        if (k::write_page(short_plan, small.data(), w) != k::PageStatus::Internal) std::abort();
    }
    // the title brings the document in at its first {{DATA_JSON}} only: later ones are
    // held by a character no token has and put back at the end
    const u32string data_mark = U"{{DATA_JSON}}", kept = U"\uE000";
    u32string inserted = title;
    if (const std::size_t first = title.find(data_mark); first != u32string::npos) {
        const std::size_t rest = first + data_mark.size();
        inserted = title.substr(0, rest) + replace_all(title.substr(rest), data_mark, kept);
    }
    u32string want = replace_all(tmpl, U"{{TITLE}}", inserted);
    want = replace_all(want, data_mark, json_escaped(json, true));
    want = replace_all(want, U"{{WIDTH}}", width);
    want = replace_all(want, U"{{HEIGHT}}", height);
    want = replace_all(want, kept, data_mark);
    check_output(want, out.data(), plan.length, w, plan.max_char);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    u32string texts[3];
    std::size_t t = 0, i = 0;
    for (; i < size && t < 3; ++i) {
        if (data[i] == kNext) ++t;
        else texts[t] += kTokens[data[i] % kNumTokens];
    }
    // What is left gives width and height (any sign, as str(int) writes them).
    std::uint64_t wv = 0, hv = 0;
    for (; i < size; ++i) ((i & 1) ? wv : hv) = ((i & 1) ? wv : hv) * 31 + static_cast<std::uint64_t>(static_cast<signed char>(data[i]));
    const u32string width = ascii(std::to_string(static_cast<std::int64_t>(wv)));
    const u32string height = ascii(std::to_string(static_cast<std::int64_t>(hv)));
    const u32string &tmpl = texts[0], &title = texts[1], &json = texts[2];

    // The escapes on their own.
    {
        const Stored s(title);
        const std::size_t n = k::html_escaped_length(s.text);
        std::vector<unsigned char> out(n * s.text.width + 1);
        if (!k::escape_html(s.text, out.data(), n)) std::abort();
        // A room one short is refused without a write past it (exact buffer: the sanitizer sees).
        if (n) {
            std::vector<unsigned char> small((n - 1) * s.text.width);
            if (k::escape_html(s.text, small.data(), n - 1)) std::abort();
        }
        check_output(html_escaped(title), out.data(), n, s.text.width, s.text.max_char);
    }
    // The JSON escapes and the page, through every JSON kernel this CPU has.
    for (const char* kernel : {"scalar", "sse2", "avx2"})
        if (k::use_json_kernel(kernel)) check_json_and_page(tmpl, title, json, width, height);
    return 0;
}


