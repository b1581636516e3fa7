// viz/kernels/json_blocks.h: JSON text walked 64 characters at a time, telling the
// braces that stand inside string literals and the characters a <script> element
// cannot hold; the page kernels (page.cpp) build on it. Internal to them.
#pragma once

#include "page.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#define NIVRA_SSE2 1
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#define NIVRA_X86 1
#endif

namespace nivra::kernels::json_blocks {

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;

// ---- JSON text: string literals found 64 characters at a time ----------------------
// Bit i of each mask stands for character i of a block. A string literal opens and
// closes at a double quote that no backslash escapes; a backslash escapes the
// character after it unless it is escaped itself. The braces inside literals are
// written \u007b, the others (the objects' own) stay.

using u64 = std::uint64_t;
inline constexpr std::size_t kBlock = 64;

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
inline constexpr AsciiClasses kAscii;

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
enum class JsonKernel { Scalar, Sse2, Avx2 };

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

inline JsonKernel best_json_kernel() noexcept {
#ifdef NIVRA_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt")) return JsonKernel::Avx2;
#endif
#ifdef NIVRA_SSE2
    return JsonKernel::Sse2;
#else
    return JsonKernel::Scalar;
#endif
}

inline JsonKernel& json_kernel_in_use() noexcept {
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
            case JsonKernel::Avx2:
                if constexpr (sizeof(C) <= 2) {
                    pos = walk_avx2(s, n, top, state, visit, go_on);
                    break;
                }
                [[fallthrough]];  // four-byte text (rare) has only the SSE2 kernel
#endif
#ifdef NIVRA_SSE2
            case JsonKernel::Sse2: pos = walk_sse2(s, n, top, state, visit, go_on); break;
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

}  // namespace nivra::kernels::json_blocks
