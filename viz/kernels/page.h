// viz/kernels/page.h: filling the viewer template in one pass, and HTML escaping, on raw str buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nivra::kernels {

/// A read-only view of a str's code points: `width` bytes each (1, 2 or 4);
/// `max_char` is the bound of its kind (127, 255, 0xFFFF or 0x10FFFF).
struct Text {
    const void* data = nullptr;
    std::size_t length = 0;
    int width = 1;
    std::uint32_t max_char = 127;
};

enum class PageStatus { Ok, NoMemory, TooLarge, Internal };

// ---- HTML escaping: & < > " ' become &amp; &lt; &gt; &quot; &#x27; ---------

/// Characters of `text` once escaped (equal to text.length when nothing changes).
[[nodiscard]] std::size_t html_escaped_length(const Text& text) noexcept;

/// Writes the escaped text into `out`, which has text.width bytes per character
/// and room for `room` characters; false (and nothing written past `room`) unless
/// the escaped text fills exactly that room (html_escaped_length(text)).
[[nodiscard]] bool escape_html(const Text& text, void* out, std::size_t room) noexcept;

// ---- JSON text made safe inside a <script> element ---------------------------
// < > & U+2028 U+2029 become \u003c \u003e \u0026 \u2028 \u2029. Those characters
// only occur inside JSON strings, where the escapes mean the same characters.
// With JsonBraces::InStrings every { inside a string literal becomes \u007b as
// well (the objects' own braces stay), so no {{...}} placeholder can occur in
// the text. A string literal opens and closes at a double quote that no
// backslash escapes; a backslash escapes the character after it unless it is
// escaped itself (for JSON text, exactly JSON's own reading).
enum class JsonBraces { Keep, InStrings };

/// What the escaped text needs: its length and the kind bound of what is kept.
struct JsonEscapeInfo {
    std::size_t length = 0;
    std::uint32_t max_char = 127;
};
[[nodiscard]] JsonEscapeInfo json_escape_info(const Text& json, JsonBraces braces) noexcept;

/// Writes the escaped text into `out` (out_width bytes per character, room for
/// `room` characters); false (and nothing written past `room`) unless it fills
/// exactly that room (json_escape_info(json, braces).length).
[[nodiscard]] bool escape_json(const Text& json, JsonBraces braces, void* out, int out_width,
                               std::size_t room) noexcept;

/// The vector kernel the JSON scans use on one-byte text on this CPU, chosen
/// once: "avx2", "sse2" or "scalar" (the character loop every kernel must match).
const char* json_kernel() noexcept;

/// Makes the JSON scans use the named kernel from now on, for tests that run
/// every kernel on one machine; false (nothing changed) for one this CPU lacks.
/// Not for use while a scan runs on another thread.
bool use_json_kernel(const char* name) noexcept;

// ---- The viewer page -----------------------------------------------------------
// The page is the template after four successive whole-text replacements:
//   {{TITLE}} -> title, then {{DATA_JSON}} -> json, then {{WIDTH}} -> width,
//   then {{HEIGHT}} -> height,
// each replacement running over the text the previous one produced, so a
// placeholder arriving inside inserted text (or formed across its edges) is
// replaced by every later step, with one exception: only the first
// {{DATA_JSON}} inside the title is filled, later ones stay as they are, so a
// title can bring the document in once at most. The four placeholders can never overlap each
// other or themselves (each starts with "{{", ends with "}}" and has no brace
// inside), so each step replaces exactly every occurrence in its input, and
// an occurrence is a property of the text alone. The plan finds, level by
// level, the occurrences inside each piece (from one scan of each source)
// and those across the edges of pieces, then the page is written once into
// a buffer of the exact size. The json source is written escaped as above,
// braces in its strings included, so placeholders in it are only those
// outside its strings (none in JSON text).

struct PagePiece {
    int source;         // index into PagePlan::sources
    std::size_t begin;  // code point range of that source
    std::size_t end;
};

struct PageMatch {
    std::size_t pos;
    int placeholder;  // 0 TITLE, 1 DATA_JSON, 2 WIDTH, 3 HEIGHT
};

/// Longest placeholder less one: how far one can reach into a piece from its edge.
constexpr std::size_t kPlaceholderEdge = 12;

struct PagePlan {
    enum Source { Template, Title, Json, Width, Height, SourceCount };
    Text sources[SourceCount];
    std::vector<PageMatch> matches[SourceCount];  // placeholders inside each source
    std::vector<PagePiece> pieces;             // the page, in order
    std::size_t json_escapes = 0;              // < > & U+2028 U+2029, braces in strings
    std::uint64_t json_head_dead = 0;          // bit p: json[p] (p < kPlaceholderEdge) is a brace in a string
    std::size_t json_tail = 0;                 // json.length less at most kPlaceholderEdge
    std::uint64_t json_tail_dead = 0;          // bit p: json[json_tail + p] is a brace in a string
    std::size_t length = 0;                    // code points of the page
    std::uint32_t max_char = 127;              // kind bound of the page
};

/// Plans the page for these five texts (width and height are ASCII).
[[nodiscard]] PageStatus plan_page(const Text& tmpl, const Text& title, const Text& json,
                                   const Text& width, const Text& height, PagePlan& plan) noexcept;

/// Writes the planned page into `out` (out_width bytes per character, room for
/// plan.length characters); `internal` if the page does not fill exactly that
/// room. Every write is checked against the end, so a page that would come out
/// longer than planned is cut there, never written past it.
[[nodiscard]] PageStatus write_page(const PagePlan& plan, void* out, int out_width) noexcept;

}  // namespace nivra::kernels
