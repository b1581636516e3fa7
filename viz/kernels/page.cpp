// viz/kernels/page.cpp: the one-pass viewer page fill, JSON escaping for <script>, HTML escaping.
#include "page.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#define NIVRA_SSE2 1
#endif

namespace nivra::kernels {
namespace {

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;

constexpr std::string_view kPlaceholders[4] = {"{{TITLE}}", "{{DATA_JSON}}", "{{WIDTH}}", "{{HEIGHT}}"};
constexpr std::size_t kLongest = 13;
constexpr unsigned kTitleBit = 1u << 0, kDataBit = 1u << 1, kWidthBit = 1u << 2, kHeightBit = 1u << 3;

inline u32 char_at(const Text& t, std::size_t i) noexcept {
    switch (t.width) {
        case 1: return static_cast<const u8*>(t.data)[i];
        case 2: return static_cast<const u16*>(t.data)[i];
        default: return static_cast<const u32*>(t.data)[i];
    }
}

// The smallest kind bound holding c.
constexpr u32 kind_bound(u32 c) noexcept { return c < 128 ? 127 : c < 256 ? 255 : c < 65536 ? 0xFFFF : 0x10FFFF; }

// Does placeholder k start at s[i], entirely inside s[0..n)?
template <class C>
bool placeholder_at(const C* s, std::size_t n, std::size_t i, int k) noexcept {
    const std::string_view p = kPlaceholders[k];
    if (n - i < p.size()) return false;
    for (std::size_t j = 0; j < p.size(); ++j)
        if (s[i + j] != static_cast<C>(p[j])) return false;
    return true;
}

// Every occurrence of the placeholders in `mask` inside s[0..n), in order.
template <class C>
void find_placeholders(const C* s, std::size_t n, unsigned mask, std::vector<PageMatch>& out) {
    for (std::size_t i = 0; i < n; ++i) {
        if (s[i] != '{') continue;
        for (int k = 0; k < 4; ++k) {
            if ((mask >> k & 1) && placeholder_at(s, n, i, k)) {
                out.push_back({i, k});
                i += kPlaceholders[k].size() - 1;
                break;
            }
        }
    }
}

void find_placeholders(const Text& t, unsigned mask, std::vector<PageMatch>& out) {
    switch (t.width) {
        case 1: return find_placeholders(static_cast<const u8*>(t.data), t.length, mask, out);
        case 2: return find_placeholders(static_cast<const u16*>(t.data), t.length, mask, out);
        default: return find_placeholders(static_cast<const u32*>(t.data), t.length, mask, out);
    }
}

// 1 for the characters JSON escaping rewrites.
inline bool json_special(u32 c) noexcept { return c == '<' || c == '>' || c == '&' || c == 0x2028 || c == 0x2029; }

struct ByteClasses {
    u8 of[256];
    constexpr ByteClasses() : of{} {
        of[static_cast<u8>('<')] = 1;
        of[static_cast<u8>('>')] = 1;
        of[static_cast<u8>('&')] = 1;
        of[static_cast<u8>('{')] = 2;
    }
};
constexpr ByteClasses kJsonBytes;

// The first i >= from with kJsonBytes.of[s[i]] & want (want: 1 escapes, 2 brace),
// or n; ORs every byte passed over into *seen when given. Sixteen bytes at a time
// where SSE2 exists; the byte loop is the reference and handles the tail.
std::size_t find_json_byte(const u8* s, std::size_t from, std::size_t n, unsigned want, u32* seen) noexcept {
    std::size_t i = from;
#ifdef NIVRA_SSE2
    const __m128i lt = _mm_set1_epi8('<'), gt = _mm_set1_epi8('>'), amp = _mm_set1_epi8('&');
    const __m128i brace = _mm_set1_epi8(want & 2 ? '{' : '<');
    __m128i acc = _mm_setzero_si128();  // the bytes to find are ASCII, so ORing them in is harmless
    int bits = 0;
    for (; n - i >= 16; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        acc = _mm_or_si128(acc, v);
        __m128i hit = _mm_cmpeq_epi8(v, brace);
        if (want & 1)
            hit = _mm_or_si128(hit, _mm_or_si128(_mm_cmpeq_epi8(v, lt),
                                                 _mm_or_si128(_mm_cmpeq_epi8(v, gt), _mm_cmpeq_epi8(v, amp))));
        bits = _mm_movemask_epi8(hit);
        if (bits) break;
    }
    if (seen && _mm_movemask_epi8(acc)) *seen |= 0x80;
    if (bits) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(bits)));
#endif
    for (; i < n; ++i) {
        if (kJsonBytes.of[s[i]] & want) return i;
        if (seen) *seen |= s[i];
    }
    return n;
}

// One scan of the JSON text: its WIDTH/HEIGHT occurrences, its escapes and the
// largest character it keeps.
template <class C>
void scan_json(const C* s, std::size_t n, std::vector<PageMatch>& out, std::size_t& escapes, u32& kept) {
    std::size_t esc = 0;
    u32 top = 0;  // one-byte text: only whether some byte is >= 128 matters
    for (std::size_t i = 0; i < n; ++i) {
        if constexpr (sizeof(C) == 1) {
            i = find_json_byte(s, i, n, 3, &top);
            if (i == n) break;
            if (kJsonBytes.of[s[i]] == 1) {
                ++esc;
                continue;
            }
        } else {
            const u32 c = s[i];
            if (json_special(c)) {
                ++esc;
                continue;
            }
            if (c != '{') {
                top = std::max(top, c);
                continue;
            }
        }

        for (int k = 2; k < 4; ++k) {
            if (placeholder_at(s, n, i, k)) {
                out.push_back({i, k});
                i += kPlaceholders[k].size() - 1;
                break;
            }
        }
    }
    escapes = esc;
    kept = kind_bound(top);
}

// What one JSON character becomes: the escape text, or null to keep it.
inline const char* json_escape_of(u32 c) noexcept {
    switch (c) {
        case '<': return "\\u003c";
        case '>': return "\\u003e";
        case '&': return "\\u0026";
        case 0x2028: return "\\u2028";
        case 0x2029: return "\\u2029";
        default: return nullptr;
    }
}

template <class In, class Out>
Out* copy_chars(const In* s, std::size_t n, Out* d) noexcept {
    if constexpr (sizeof(In) == sizeof(Out)) {
        if (n) std::memcpy(d, s, n * sizeof(Out));
        return d + n;
    } else {
        for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<Out>(s[i]);
        return d + n;
    }
}

template <class Out>
Out* put_ascii(const char* a, Out* d) noexcept {
    while (*a) *d++ = static_cast<Out>(static_cast<u8>(*a++));
    return d;
}

// Copies s[0..n) escaping the JSON specials, runs of plain characters at once.
template <class In, class Out>
Out* copy_json(const In* s, std::size_t n, Out* d) noexcept {
    std::size_t run = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if constexpr (sizeof(In) == 1) {
            i = find_json_byte(s, i, n, 1, nullptr);
            if (i == n) break;
        } else {
            if (!json_special(s[i])) continue;
        }
        const u32 c = s[i];
        d = copy_chars(s + run, i - run, d);
        d = put_ascii(json_escape_of(c), d);
        run = i + 1;
    }
    return copy_chars(s + run, n - run, d);
}

template <class Out>
Out* copy_text(const Text& t, std::size_t b, std::size_t e, bool json, Out* d) noexcept {
    switch (t.width) {
        case 1: {
            const u8* s = static_cast<const u8*>(t.data) + b;
            return json ? copy_json(s, e - b, d) : copy_chars(s, e - b, d);
        }
        case 2: {
            const u16* s = static_cast<const u16*>(t.data) + b;
            return json ? copy_json(s, e - b, d) : copy_chars(s, e - b, d);
        }
        default: {
            const u32* s = static_cast<const u32*>(t.data) + b;
            return json ? copy_json(s, e - b, d) : copy_chars(s, e - b, d);
        }
    }
}

// One replacement level over the pieces of the previous level's text.
class Level {
public:
    Level(const PagePlan& plan, const std::vector<PagePiece>& in) noexcept : plan_(plan), in_(in) {}

    // Replaces every occurrence of the placeholders in `mask`; placeholder k
    // becomes the whole of source replacement[k]. Returns the count replaced.
    std::size_t run(unsigned mask, const int* replacement, std::vector<PagePiece>& out) {
        std::size_t replaced = 0;
        std::size_t i = 0;
        std::size_t at = in_.empty() ? 0 : in_[0].begin;
        while (i < in_.size()) {
            const PagePiece& piece = in_[i];
            const Text& src = plan_.sources[piece.source];
            const std::vector<PageMatch>& inside = plan_.matches[piece.source];

            // Occurrences wholly inside this piece were found when its source was scanned.
            auto it = std::lower_bound(inside.begin(), inside.end(), at,
                                       [](const PageMatch& m, std::size_t pos) { return m.pos < pos; });
            for (; it != inside.end() && it->pos < piece.end; ++it) {
                if (!(mask >> it->placeholder & 1)) continue;
                const std::size_t stop = it->pos + kPlaceholders[it->placeholder].size();
                if (stop > piece.end) break;  // later ones start even further on
                emit(out, piece.source, at, it->pos);
                emit(out, replacement[it->placeholder], 0, plan_.sources[replacement[it->placeholder]].length);
                ++replaced;
                at = stop;
            }

            // An occurrence running past the end of this piece starts in its last few characters.
            bool crossed = false;
            const std::size_t tail = piece.end - std::min(piece.end - piece.begin, kLongest - 1);
            for (std::size_t p = std::max(at, tail); p < piece.end && !crossed; ++p) {
                if (char_at(src, p) != '{') continue;
                for (int k = 0; k < 4; ++k) {
                    std::size_t next = 0, next_at = 0;
                    if (!(mask >> k & 1) || !match_across(i, p, k, next, next_at)) continue;
                    emit(out, piece.source, at, p);
                    emit(out, replacement[k], 0, plan_.sources[replacement[k]].length);
                    ++replaced;
                    i = next;
                    at = next_at;
                    crossed = true;
                    break;
                }
            }
            if (!crossed) {
                emit(out, piece.source, at, piece.end);
                ++i;
                if (i < in_.size()) at = in_[i].begin;
            }
        }
        return replaced;
    }

private:
    static void emit(std::vector<PagePiece>& out, int source, std::size_t b, std::size_t e) {
        if (b < e) out.push_back({source, b, e});
    }

    // Does placeholder k start at offset p of piece i, read on across the
    // following pieces? On success (next, next_at) is where the text goes on.
    bool match_across(std::size_t i, std::size_t p, int k, std::size_t& next, std::size_t& next_at) const noexcept {
        const std::string_view want = kPlaceholders[k];
        std::size_t j = i, q = p;
        for (std::size_t n = 0; n < want.size(); ++n, ++q) {
            while (q >= in_[j].end) {
                if (++j == in_.size()) return false;
                q = in_[j].begin;
            }
            if (char_at(plan_.sources[in_[j].source], q) != static_cast<u8>(want[n])) return false;
        }
        next = j;
        next_at = q;
        return true;
    }

    const PagePlan& plan_;
    const std::vector<PagePiece>& in_;
};

template <class Out>
Out* write_pieces(const PagePlan& plan, Out* d) noexcept {
    for (const PagePiece& piece : plan.pieces)
        d = copy_text(plan.sources[piece.source], piece.begin, piece.end, piece.source == PagePlan::Json, d);
    return d;
}

template <class C>
std::size_t html_escaped_length(const C* s, std::size_t n) noexcept {
    std::size_t extra = 0;
    for (std::size_t i = 0; i < n; ++i) {
        switch (s[i]) {
            case '&': extra += 4; break;                // &amp;
            case '<': case '>': extra += 3; break;      // &lt; &gt;
            case '"': case '\'': extra += 5; break;     // &quot; &#x27;
            default: break;
        }
    }
    return n + extra;
}

template <class C>
void escape_html(const C* s, std::size_t n, C* d) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        const C c = s[i];
        switch (c) {
            case '&': d = put_ascii("&amp;", d); break;
            case '<': d = put_ascii("&lt;", d); break;
            case '>': d = put_ascii("&gt;", d); break;
            case '"': d = put_ascii("&quot;", d); break;
            case '\'': d = put_ascii("&#x27;", d); break;
            default: *d++ = c;
        }
    }
}

bool add(std::size_t& total, std::size_t n) noexcept {
    if (n > SIZE_MAX - total) return false;
    total += n;
    return true;
}

}  // namespace

std::size_t html_escaped_length(const Text& t) noexcept {
    switch (t.width) {
        case 1: return html_escaped_length(static_cast<const u8*>(t.data), t.length);
        case 2: return html_escaped_length(static_cast<const u16*>(t.data), t.length);
        default: return html_escaped_length(static_cast<const u32*>(t.data), t.length);
    }
}

void escape_html(const Text& t, void* out) noexcept {
    switch (t.width) {
        case 1: return escape_html(static_cast<const u8*>(t.data), t.length, static_cast<u8*>(out));
        case 2: return escape_html(static_cast<const u16*>(t.data), t.length, static_cast<u16*>(out));
        default: return escape_html(static_cast<const u32*>(t.data), t.length, static_cast<u32*>(out));
    }
}

JsonEscapeInfo json_escape_info(const Text& json) noexcept {
    std::size_t esc = 0;
    u32 top = 0;
    for (std::size_t i = 0; i < json.length; ++i) {
        const u32 c = char_at(json, i);
        if (json_special(c)) ++esc;
        else top = std::max(top, c);
    }
    return {json.length + 5 * esc, kind_bound(top)};
}

void escape_json(const Text& json, void* out, int out_width) noexcept {
    switch (out_width) {
        case 1: copy_text(json, 0, json.length, true, static_cast<u8*>(out)); break;
        case 2: copy_text(json, 0, json.length, true, static_cast<u16*>(out)); break;
        default: copy_text(json, 0, json.length, true, static_cast<u32*>(out)); break;
    }
}

PageStatus plan_page(const Text& tmpl, const Text& title, const Text& json, const Text& width,
                     const Text& height, PagePlan& plan) noexcept {
    try {
        plan = PagePlan{};
        plan.sources[PagePlan::Template] = tmpl;
        plan.sources[PagePlan::Title] = title;
        plan.sources[PagePlan::Json] = json;
        plan.sources[PagePlan::Width] = width;
        plan.sources[PagePlan::Height] = height;

        // One scan of each source for the placeholders that can still act on it.
        find_placeholders(tmpl, kTitleBit | kDataBit | kWidthBit | kHeightBit, plan.matches[PagePlan::Template]);
        find_placeholders(title, kDataBit | kWidthBit | kHeightBit, plan.matches[PagePlan::Title]);
        u32 json_kept = 127;
        switch (json.width) {
            case 1:
                scan_json(static_cast<const u8*>(json.data), json.length, plan.matches[PagePlan::Json],
                          plan.json_escapes, json_kept);
                break;
            case 2:
                scan_json(static_cast<const u16*>(json.data), json.length, plan.matches[PagePlan::Json],
                          plan.json_escapes, json_kept);
                break;
            default:
                scan_json(static_cast<const u32*>(json.data), json.length, plan.matches[PagePlan::Json],
                          plan.json_escapes, json_kept);
                break;
        }

        // The three levels: {{TITLE}}; {{DATA_JSON}}; {{WIDTH}} and {{HEIGHT}} together
        // (numbers hold no brace, so neither can make or break an occurrence of the other).
        const int replacement[4] = {PagePlan::Title, PagePlan::Json, PagePlan::Width, PagePlan::Height};
        std::vector<PagePiece> whole{{PagePlan::Template, 0, tmpl.length}}, titled, filled;
        if (tmpl.length == 0) whole.clear();
        const std::size_t titles = Level(plan, whole).run(kTitleBit, replacement, titled);
        const std::size_t jsons = Level(plan, titled).run(kDataBit, replacement, filled);
        Level(plan, filled).run(kWidthBit | kHeightBit, replacement, plan.pieces);

        // Every non-ASCII character of a source that appears reaches the page
        // (placeholders are ASCII), so the page's kind is that of its sources.
        u32 top = tmpl.max_char;
        if (titles) top = std::max(top, title.max_char);
        if (jsons) top = std::max(top, json_kept);
        if (plan.pieces.empty()) top = 127;
        plan.max_char = top;

        std::size_t total = 0;
        for (const PagePiece& piece : plan.pieces)
            if (!add(total, piece.end - piece.begin)) return PageStatus::TooLarge;
        // Escaped characters are never part of a placeholder, so each copy of the
        // JSON text keeps all of them.
        for (std::size_t n = 0; n < jsons; ++n)
            if (!add(total, 5 * plan.json_escapes)) return PageStatus::TooLarge;
        plan.length = total;
        return PageStatus::Ok;
    } catch (const std::bad_alloc&) {
        return PageStatus::NoMemory;
    }
}

PageStatus write_page(const PagePlan& plan, void* out, int out_width) noexcept {
    std::size_t written = 0;
    switch (out_width) {
        case 1: written = write_pieces(plan, static_cast<u8*>(out)) - static_cast<u8*>(out); break;
        case 2: written = write_pieces(plan, static_cast<u16*>(out)) - static_cast<u16*>(out); break;
        default: written = write_pieces(plan, static_cast<u32*>(out)) - static_cast<u32*>(out); break;
    }
    return written == plan.length ? PageStatus::Ok : PageStatus::Internal;
}

}  // namespace nivra::kernels
