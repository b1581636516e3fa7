// viz/kernels/page.cpp: the one-pass viewer page fill, JSON escaping for <script>, HTML escaping.
#include "page.h"

#include "json_blocks.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <string_view>

namespace nivra::kernels {
namespace {

using namespace json_blocks;

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

// A title brings the document in once at most: the first {{DATA_JSON}} it holds
// is filled, later ones stay as text. Otherwise a short title repeating the
// placeholder multiplies the page by the document's size. A kept occurrence
// cannot be part of another placeholder (none overlap), so dropping its match
// leaves every other one as it was.
void keep_first_document(std::vector<PageMatch>& title_matches) {
    bool seen = false;
    std::size_t kept = 0;
    for (const PageMatch& m : title_matches) {
        if (m.placeholder == 1 && seen) continue;
        seen = seen || m.placeholder == 1;
        title_matches[kept++] = m;
    }
    title_matches.resize(kept);
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
        keep_first_document(plan.matches[PagePlan::Title]);
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
        case JsonKernel::Avx2: return "avx2";
        case JsonKernel::Sse2: return "sse2";
        default: return "scalar";
    }
}

bool use_json_kernel(const char* name) noexcept {
    const std::string_view want = name;
    JsonKernel k;
    if (want == "scalar") k = JsonKernel::Scalar;
#ifdef NIVRA_SSE2
    else if (want == "sse2") k = JsonKernel::Sse2;
#endif
#ifdef NIVRA_X86
    else if (want == "avx2" && best_json_kernel() == JsonKernel::Avx2) k = JsonKernel::Avx2;
#endif
    else return false;
    json_kernel_in_use() = k;
    return true;
}

}  // namespace nivra::kernels
