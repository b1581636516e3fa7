// viz/kernels/page.cpp: the one-pass viewer page fill, JSON escaping for <script>, HTML escaping.
#include "page.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#define NIVRA_SSE2 1
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#define NIVRA_X86 1
#endif

namespace nivra::kernels {
namespace {

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;

constexpr std::string_view kPlaceholders[4] = {"{{TITLE}}", "{{DATA_JSON}}", "{{WIDTH}}", "{{HEIGHT}}"};
constexpr std::size_t kLongest = 13;
static_assert(kPlaceholderEdge == kLongest - 1);
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

// ---- JSON text: string literals found 64 characters at a time ----------------------
// Bit i of each mask stands for character i of a block. A string literal opens and
// closes at a double quote that no backslash escapes; a backslash escapes the
// character after it unless it is escaped itself. The braces inside literals are
// written \u007b, the others (the objects' own) stay.

using u64 = std::uint64_t;
constexpr std::size_t kBlock = 64;

struct Block {
    u64 quote = 0, backslash = 0, brace = 0, special = 0;  // special: < > & U+2028 U+2029
};

// Classes of the ASCII characters: an index into ClassMasks.
enum : u8 { kPlain, kQuote, kBackslash, kBrace, kSpecial };

struct AsciiClasses {
    u8 of[128];
    constexpr AsciiClasses() : of{} {
        of[static_cast<u8>('"')] = kQuote;
        of[static_cast<u8>('\\')] = kBackslash;
        of[static_cast<u8>('{')] = kBrace;
        of[static_cast<u8>('<')] = kSpecial;
        of[static_cast<u8>('>')] = kSpecial;
        of[static_cast<u8>('&')] = kSpecial;
    }
};
constexpr AsciiClasses kAscii;

// The character loop: the reference, the tail of every text, and four-byte
// text. Raises `top` to the largest character kept as it is (the escaped ones
// are ASCII or U+2028/U+2029, which the page does not keep).
template <class C>
void classify(const C* s, std::size_t n, Block& b, u32& top) noexcept {
    u64 masks[5] = {};  // by class; masks[kPlain] is never read
    for (std::size_t i = 0; i < n; ++i) {
        const u32 c = s[i];
        u8 cls = kPlain;
        if (c < 128) cls = kAscii.of[c];
        else if (c == 0x2028 || c == 0x2029) cls = kSpecial;
        else top = std::max(top, c);
        if (cls != kPlain) masks[cls] |= u64{1} << i;
    }
    b.quote = masks[kQuote];
    b.backslash = masks[kBackslash];
    b.brace = masks[kBrace];
    b.special = masks[kSpecial];
}

// Bit i set when an odd number of quotes stands at or before i.
constexpr u64 prefix_xor(u64 x) noexcept {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
}

// Where the text stands between two blocks.
class StringState {
public:
    // The braces of a block of n characters that stand inside string literals;
    // moves the state past the block.
    u64 braces_inside(const Block& b, std::size_t n) noexcept {
        u64 quotes = b.quote;
        if (b.backslash || escaped_) quotes &= ~escaped_chars(b.backslash, n);
        u64 inside = 0;
        if (b.brace) inside = b.brace & (prefix_xor(quotes) ^ (inside_ ? ~u64{0} : 0));
        inside_ ^= __builtin_parityll(quotes) != 0;  // cheaper than a popcount without POPCNT
        return inside;
    }

private:
    // The characters a backslash escapes. Backslashes are rare in JSON text, so
    // each is looked at in turn; a run of them escapes every other one.
    u64 escaped_chars(u64 backslash, std::size_t n) noexcept {
        u64 escaped = escaped_ ? 1 : 0;
        escaped_ = false;
        for (; backslash; backslash &= backslash - 1) {
            const unsigned i = static_cast<unsigned>(std::countr_zero(backslash));
            if (escaped >> i & 1) continue;  // escaped itself: escapes nothing
            if (i + 1 == n) escaped_ = true;  // the next block's first character
            else escaped |= u64{1} << (i + 1);
        }
        return escaped;
    }

    bool inside_ = false;   // the next character stands inside a string literal
    bool escaped_ = false;  // the next character follows an escaping backslash
};

// The whole blocks of text go through a vector kernel, chosen once; each does
// what classify() does, 64 characters at a time, and returns where it stopped
// (go_on false: the visitor asked to stop). Wider characters are narrowed to
// bytes with saturation first: every character above 0xFF becomes 0x00 or
// 0xFF, neither of which is looked for.
enum class JsonKernel { scalar, sse2, avx2 };

#ifdef NIVRA_SSE2
inline u64 bits16(__m128i hit, int k) noexcept {
    return u64{static_cast<u32>(_mm_movemask_epi8(hit))} << (16 * k);
}

// Bytes 16k..16k+15 of the block, all but the wide specials.
inline void classify16(__m128i v, int k, Block& b) noexcept {
    b.quote |= bits16(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), k);
    b.backslash |= bits16(_mm_cmpeq_epi8(v, _mm_set1_epi8('\\')), k);
    b.brace |= bits16(_mm_cmpeq_epi8(v, _mm_set1_epi8('{')), k);
    const __m128i lt = _mm_cmpeq_epi8(v, _mm_set1_epi8('<')), gt = _mm_cmpeq_epi8(v, _mm_set1_epi8('>'));
    b.special |= bits16(_mm_or_si128(_mm_or_si128(lt, gt), _mm_cmpeq_epi8(v, _mm_set1_epi8('&'))), k);
}

inline __m128i wide_special(__m128i v) noexcept {
    return _mm_or_si128(_mm_cmpeq_epi16(v, _mm_set1_epi16(0x2028)), _mm_cmpeq_epi16(v, _mm_set1_epi16(0x2029)));
}

template <class C, class Visit>
std::size_t walk_sse2(const C* s, std::size_t n, u32& top, StringState& state, Visit& visit, bool& go_on) {
    __m128i high = _mm_setzero_si128();  // the OR of every character kept as it is
    std::size_t pos = 0;
    for (; go_on && n - pos >= kBlock; pos += kBlock) {
        Block b;
        const __m128i* p = reinterpret_cast<const __m128i*>(s + pos);
        for (int k = 0; k < 4; ++k) {
            if constexpr (sizeof(C) == 1) {
                const __m128i v = _mm_loadu_si128(p + k);
                high = _mm_or_si128(high, v);
                classify16(v, k, b);
            } else if constexpr (sizeof(C) == 2) {
                const __m128i lo = _mm_loadu_si128(p + 2 * k), hi = _mm_loadu_si128(p + 2 * k + 1);
                classify16(_mm_packus_epi16(lo, hi), k, b);
                const __m128i sl = wide_special(lo), sh = wide_special(hi);
                b.special |= bits16(_mm_packs_epi16(sl, sh), k);
                high = _mm_or_si128(high, _mm_or_si128(_mm_andnot_si128(sl, lo), _mm_andnot_si128(sh, hi)));
            } else {  // four-byte: narrowed twice (to 0x7FFF at most, then to 0xFF)
                __m128i v[4], sp[4];
                for (int q = 0; q < 4; ++q) {
                    v[q] = _mm_loadu_si128(p + 4 * k + q);
                    sp[q] = _mm_or_si128(_mm_cmpeq_epi32(v[q], _mm_set1_epi32(0x2028)),
                                         _mm_cmpeq_epi32(v[q], _mm_set1_epi32(0x2029)));
                    high = _mm_or_si128(high, _mm_andnot_si128(sp[q], v[q]));
                }
                classify16(_mm_packus_epi16(_mm_packs_epi32(v[0], v[1]), _mm_packs_epi32(v[2], v[3])), k, b);
                b.special |= bits16(_mm_packs_epi16(_mm_packs_epi32(sp[0], sp[1]), _mm_packs_epi32(sp[2], sp[3])), k);
            }
        }
        go_on = visit(pos, kBlock, b, state.braces_inside(b, kBlock));
    }
    if constexpr (sizeof(C) == 1) {
        if (_mm_movemask_epi8(high)) top = std::max<u32>(top, 0x80);
    } else {
        alignas(16) C lanes[16 / sizeof(C)];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), high);
        for (C l : lanes) top = std::max<u32>(top, l);  // the OR's kind is the largest one's
    }
    return pos;
}
#endif

#ifdef NIVRA_X86
#define NIVRA_AVX2 __attribute__((target("avx2,popcnt")))

NIVRA_AVX2 inline u64 bits32(__m256i hit, int k) noexcept {
    return u64{static_cast<u32>(_mm256_movemask_epi8(hit))} << (32 * k);
}

NIVRA_AVX2 inline void classify32(__m256i v, int k, Block& b) noexcept {
    b.quote |= bits32(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('"')), k);
    b.backslash |= bits32(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\\')), k);
    b.brace |= bits32(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('{')), k);
    const __m256i lt = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('<')), gt = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('>'));
    b.special |= bits32(_mm256_or_si256(_mm256_or_si256(lt, gt), _mm256_cmpeq_epi8(v, _mm256_set1_epi8('&'))), k);
}

NIVRA_AVX2 inline __m256i wide_special256(__m256i v) noexcept {
    return _mm256_or_si256(_mm256_cmpeq_epi16(v, _mm256_set1_epi16(0x2028)),
                           _mm256_cmpeq_epi16(v, _mm256_set1_epi16(0x2029)));
}

// Packing works within 128-bit lanes: put the four quarters back in order.
NIVRA_AVX2 inline __m256i pack_in_order(__m256i packed) noexcept { return _mm256_permute4x64_epi64(packed, 0xD8); }

template <class C, class Visit>
NIVRA_AVX2 std::size_t walk_avx2(const C* s, std::size_t n, u32& top, StringState& state, Visit& visit,
                                 bool& go_on) {
    __m256i high = _mm256_setzero_si256();
    std::size_t pos = 0;
    for (; go_on && n - pos >= kBlock; pos += kBlock) {
        Block b;
        const __m256i* p = reinterpret_cast<const __m256i*>(s + pos);
        for (int k = 0; k < 2; ++k) {
            if constexpr (sizeof(C) == 1) {
                const __m256i v = _mm256_loadu_si256(p + k);
                high = _mm256_or_si256(high, v);
                classify32(v, k, b);
            } else {
                const __m256i lo = _mm256_loadu_si256(p + 2 * k), hi = _mm256_loadu_si256(p + 2 * k + 1);
                classify32(pack_in_order(_mm256_packus_epi16(lo, hi)), k, b);
                const __m256i sl = wide_special256(lo), sh = wide_special256(hi);
                b.special |= bits32(pack_in_order(_mm256_packs_epi16(sl, sh)), k);
                high = _mm256_or_si256(high, _mm256_or_si256(_mm256_andnot_si256(sl, lo), _mm256_andnot_si256(sh, hi)));
            }
        }
        go_on = visit(pos, kBlock, b, state.braces_inside(b, kBlock));
    }
    if constexpr (sizeof(C) == 1) {
        if (_mm256_movemask_epi8(high)) top = std::max<u32>(top, 0x80);
    } else {
        alignas(32) u16 lanes[16];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), high);
        for (u16 l : lanes) top = std::max<u32>(top, l);
    }
    return pos;
}
#endif

JsonKernel best_json_kernel() noexcept {
#ifdef NIVRA_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt")) return JsonKernel::avx2;
#endif
#ifdef NIVRA_SSE2
    return JsonKernel::sse2;
#else
    return JsonKernel::scalar;
#endif
}

JsonKernel& json_kernel_in_use() noexcept {
    static JsonKernel kernel = best_json_kernel();
    return kernel;
}

// Calls visit(pos, len, block, braces inside strings) for each block of s[0..n)
// in order, until it returns false; raises `top` as classify() does.
template <class C, class Visit>
void walk_json(const C* s, std::size_t n, u32& top, Visit&& visit) {
    StringState state;
    std::size_t pos = 0;
    {
        bool go_on = true;
        switch (json_kernel_in_use()) {
#ifdef NIVRA_X86
            case JsonKernel::avx2:
                if constexpr (sizeof(C) <= 2) {
                    pos = walk_avx2(s, n, top, state, visit, go_on);
                    break;
                }
                [[fallthrough]];  // four-byte text (rare) has only the SSE2 kernel
#endif
#ifdef NIVRA_SSE2
            case JsonKernel::sse2: pos = walk_sse2(s, n, top, state, visit, go_on); break;
#endif
            default: break;
        }
        if (!go_on) return;
    }
    for (; pos < n; pos += kBlock) {
        const std::size_t len = std::min(kBlock, n - pos);
        Block b;
        classify(s + pos, len, b, top);
        if (!visit(pos, len, b, state.braces_inside(b, len))) return;
    }
}

bool braces_escaped(JsonBraces braces) noexcept { return braces == JsonBraces::InStrings; }

// What one scan of a JSON text finds.
struct JsonScan {
    std::vector<PageMatch>* matches = nullptr;  // WIDTH/HEIGHT occurrences, when wanted
    std::size_t escapes = 0;                    // characters written as \u escapes
    u32 top = 0;                                // largest character kept as it is
    u64 head_dead = 0, tail_dead = 0;           // see PagePlan
    std::size_t tail = 0;
};

template <class C>
void scan_json(const C* s, std::size_t n, JsonBraces braces, JsonScan& out) {
    out.tail = n - std::min(n, kPlaceholderEdge);
    const bool escape_braces = braces_escaped(braces);
    walk_json(s, n, out.top, [&](std::size_t pos, std::size_t len, const Block& b, u64 dead) {
        if (!escape_braces) dead = 0;
        if (b.special | dead)  // rare: spare the popcount (no POPCNT in the baseline instruction set)
            out.escapes += static_cast<std::size_t>(std::popcount(b.special) + std::popcount(dead));
        if (dead && (pos < kPlaceholderEdge || pos + len > out.tail)) {
            for (u64 d = dead; d; d &= d - 1) {
                const std::size_t p = pos + static_cast<std::size_t>(std::countr_zero(d));
                if (p < kPlaceholderEdge) out.head_dead |= u64{1} << p;
                if (p >= out.tail) out.tail_dead |= u64{1} << (p - out.tail);
            }
        }
        if (out.matches) {
            // A placeholder starts at a kept brace followed by another brace.
            u64 lead = b.brace & ~dead & ((b.brace >> 1) | (u64{1} << (len - 1)));
            for (; lead; lead &= lead - 1) {
                const std::size_t i = pos + static_cast<std::size_t>(std::countr_zero(lead));
                for (int k = 2; k < 4; ++k) {
                    if (placeholder_at(s, n, i, k)) {
                        out.matches->push_back({i, k});
                        break;
                    }
                }
            }
        }
        return true;
    });
}

template <class Fn>
decltype(auto) with_chars(const Text& t, Fn&& fn) {
    switch (t.width) {
        case 1: return fn(static_cast<const u8*>(t.data));
        case 2: return fn(static_cast<const u16*>(t.data));
        default: return fn(static_cast<const u32*>(t.data));
    }
}

// What one JSON character becomes when it is escaped.
inline std::string_view json_escape_of(u32 c) noexcept {
    switch (c) {
        case '<': return "\\u003c";
        case '>': return "\\u003e";
        case '&': return "\\u0026";
        case '{': return "\\u007b";
        case 0x2028: return "\\u2028";
        default: return "\\u2029";
    }
}

// The output of a writer: it knows where its buffer ends, so a writer that
// disagrees with its plan stops at the end instead of writing past it.
template <class Out>
class Sink {
public:
    Sink(Out* begin, std::size_t room) noexcept : d_(begin), end_(begin + room) {}

    template <class In>
    void copy(const In* s, std::size_t n) noexcept {
        if (!fits(n)) return;
        if constexpr (sizeof(In) == sizeof(Out)) {
            if (n) std::memcpy(d_, s, n * sizeof(Out));
        } else {
            for (std::size_t i = 0; i < n; ++i) d_[i] = static_cast<Out>(s[i]);
        }
        d_ += n;
    }

    void ascii(std::string_view a) noexcept {
        if (!fits(a.size())) return;
        for (char c : a) *d_++ = static_cast<Out>(static_cast<u8>(c));
    }

    // Every write fitted and the buffer is exactly full.
    [[nodiscard]] bool filled() const noexcept { return ok_ && d_ == end_; }
    [[nodiscard]] bool ok() const noexcept { return ok_; }

private:
    bool fits(std::size_t n) noexcept {
        if (ok_ && n <= static_cast<std::size_t>(end_ - d_)) return true;
        ok_ = false;  // nothing more is written once one write did not fit
        return false;
    }

    Out* d_;
    Out* end_;
    bool ok_ = true;
};

// Copies s[0..n) escaped, runs of plain characters at once. s starts outside
// any string literal (the whole text, or a piece after a placeholder).
template <class In, class Out>
void copy_json(const In* s, std::size_t n, JsonBraces braces, Sink<Out>& out) noexcept {
    std::size_t run = 0;
    u32 top = 0;
    const bool escape_braces = braces_escaped(braces);
    walk_json(s, n, top, [&](std::size_t pos, std::size_t, const Block& b, u64 dead) {
        for (u64 m = b.special | (escape_braces ? dead : 0); m; m &= m - 1) {
            const std::size_t i = pos + static_cast<std::size_t>(std::countr_zero(m));
            out.copy(s + run, i - run);
            out.ascii(json_escape_of(s[i]));
            run = i + 1;
        }
        return out.ok();
    });
    out.copy(s + run, n - run);
}

// Copies t[b..e) (as JSON when `json`, its braces escaped in strings).
template <class Out>
void copy_text(const Text& t, std::size_t b, std::size_t e, bool json, JsonBraces braces, Sink<Out>& out) noexcept {
    with_chars(t, [&](const auto* s) {
        if (json) copy_json(s + b, e - b, braces, out);
        else out.copy(s + b, e - b);
    });
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
                if (char_at(src, p) != '{' || !live_brace(piece.source, p)) continue;
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
            const u32 c = char_at(plan_.sources[in_[j].source], q);
            if (c != static_cast<u8>(want[n]) || (c == '{' && !live_brace(in_[j].source, q))) return false;
        }
        next = j;
        next_at = q;
        return true;
    }

    // Can the brace at p of this source be part of a placeholder? Not one inside
    // a string of the JSON text, which is written escaped. JSON pieces here are
    // whole texts, so a placeholder meets a JSON brace only within
    // kPlaceholderEdge characters of either end, where the plan recorded them.
    bool live_brace(int source, std::size_t p) const noexcept {
        if (source != PagePlan::Json) return true;
        if (p < kPlaceholderEdge && (plan_.json_head_dead >> p & 1)) return false;
        return p < plan_.json_tail || !(plan_.json_tail_dead >> (p - plan_.json_tail) & 1);
    }

    const PagePlan& plan_;
    const std::vector<PagePiece>& in_;
};

template <class Out>
bool write_pieces(const PagePlan& plan, Out* out) noexcept {
    Sink<Out> sink(out, plan.length);
    for (const PagePiece& piece : plan.pieces)
        copy_text(plan.sources[piece.source], piece.begin, piece.end, piece.source == PagePlan::Json,
                  JsonBraces::InStrings, sink);
    return sink.filled();
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
bool escape_html(const C* s, std::size_t n, C* d, std::size_t room) noexcept {
    Sink<C> out(d, room);
    std::size_t run = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::string_view as;
        switch (s[i]) {
            case '&': as = "&amp;"; break;
            case '<': as = "&lt;"; break;
            case '>': as = "&gt;"; break;
            case '"': as = "&quot;"; break;
            case '\'': as = "&#x27;"; break;
            default: continue;
        }
        out.copy(s + run, i - run);
        out.ascii(as);
        run = i + 1;
    }
    out.copy(s + run, n - run);
    return out.filled();
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

bool escape_html(const Text& t, void* out, std::size_t room) noexcept {
    switch (t.width) {
        case 1: return escape_html(static_cast<const u8*>(t.data), t.length, static_cast<u8*>(out), room);
        case 2: return escape_html(static_cast<const u16*>(t.data), t.length, static_cast<u16*>(out), room);
        default: return escape_html(static_cast<const u32*>(t.data), t.length, static_cast<u32*>(out), room);
    }
}

JsonEscapeInfo json_escape_info(const Text& json, JsonBraces braces) noexcept {
    JsonScan scan;
    with_chars(json, [&](const auto* s) { scan_json(s, json.length, braces, scan); });
    return {json.length + 5 * scan.escapes, kind_bound(scan.top)};
}

template <class Out>
bool escape_json(const Text& json, JsonBraces braces, Out* out, std::size_t room) noexcept {
    Sink<Out> sink(out, room);
    copy_text(json, 0, json.length, true, braces, sink);
    return sink.filled();
}

bool escape_json(const Text& json, JsonBraces braces, void* out, int out_width, std::size_t room) noexcept {
    switch (out_width) {
        case 1: return escape_json(json, braces, static_cast<u8*>(out), room);
        case 2: return escape_json(json, braces, static_cast<u16*>(out), room);
        default: return escape_json(json, braces, static_cast<u32*>(out), room);
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
        JsonScan scan;
        scan.matches = &plan.matches[PagePlan::Json];
        with_chars(json, [&](const auto* s) { scan_json(s, json.length, JsonBraces::InStrings, scan); });
        plan.json_escapes = scan.escapes;
        plan.json_head_dead = scan.head_dead;
        plan.json_tail = scan.tail;
        plan.json_tail_dead = scan.tail_dead;
        const u32 json_kept = kind_bound(scan.top);

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
        // Escaped characters (braces in strings included) are never part of a
        // placeholder, so each copy of the JSON text keeps all of them.
        for (std::size_t n = 0; n < jsons; ++n)
            if (!add(total, 5 * plan.json_escapes)) return PageStatus::TooLarge;
        plan.length = total;
        return PageStatus::Ok;
    } catch (const std::bad_alloc&) {
        return PageStatus::NoMemory;
    }
}

PageStatus write_page(const PagePlan& plan, void* out, int out_width) noexcept {
    bool filled = false;
    switch (out_width) {
        case 1: filled = write_pieces(plan, static_cast<u8*>(out)); break;
        case 2: filled = write_pieces(plan, static_cast<u16*>(out)); break;
        default: filled = write_pieces(plan, static_cast<u32*>(out)); break;
    }
    return filled ? PageStatus::Ok : PageStatus::Internal;
}

const char* json_kernel() noexcept {
    switch (json_kernel_in_use()) {
        case JsonKernel::avx2: return "avx2";
        case JsonKernel::sse2: return "sse2";
        default: return "scalar";
    }
}

bool use_json_kernel(const char* name) noexcept {
    const std::string_view want = name;
    JsonKernel k;
    if (want == "scalar") k = JsonKernel::scalar;
#ifdef NIVRA_SSE2
    else if (want == "sse2") k = JsonKernel::sse2;
#endif
#ifdef NIVRA_X86
    else if (want == "avx2" && best_json_kernel() == JsonKernel::avx2) k = JsonKernel::avx2;
#endif
    else return false;
    json_kernel_in_use() = k;
    return true;
}

}  // namespace nivra::kernels
