// viz/kernels/evt.h: the words of Prophesee camera files (EVT 3.0, EVT 2.0, EVT 2.1 and
// DAT records) decoded chunk by chunk into event records, with the decoder's state kept
// between chunks so that a file is decoded in pieces of any size, from any word boundary
// a previous pass recorded.
//
// The layouts, as the camera maker documents them:
//   EVT 3.0: 16-bit little-endian words, type in bits 15-12. 0x0 y address (bits 10-0),
//     0x2 x address + polarity (bit 11): one event, 0x3 vector base x + polarity, 0x4 a
//     12-pixel and 0x5 an 8-pixel validity mask from the base (which then moves on by 12
//     or 8), 0x6 time low (bits 11-0 of the 24-bit time), 0x8 time high (bits 23-12),
//     0xA external trigger, 0xE vendor "others", 0x7 / 0xF continuations of them.
//     Only time high advances time past 4,096 us: the 24-bit time wraps every ~16.7 s,
//     counted by a step back of time high by more than half its range.
//   EVT 2.0: 32-bit words, type in bits 31-28. 0x0 / 0x1 an OFF / ON event: time low
//     (6 bits, 27-22), x (21-11), y (10-0); 0x8 time high (bits 27-0 = time >> 6);
//     0xA trigger, 0xE others, 0xF continued.
//   EVT 2.1: 64-bit little-endian words, type in bits 63-60; 0x0 / 0x1 a row of up to 32
//     OFF / ON events: time low (59-54), x of the first pixel (53-43), y (42-32), and a
//     32-pixel validity mask (31-0); time high, trigger and others as EVT 2.0.
//   DAT: 8-byte records: 32-bit time (us), then x (bits 13-0), y (27-14), polarity
//     (31-28) of a 32-bit word.
// Words of other types (padding such as 0x9999 that some cameras write) are skipped
// and counted.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nivra::kernels::evt {

enum class Encoding : std::int64_t { Evt3 = 3, Evt2 = 2, Evt21 = 21, Dat = 1 };

/// The bytes of one word (or record) of an encoding; 0 for an unknown encoding.
[[nodiscard]] std::size_t word_size(std::int64_t encoding) noexcept;

/// One decoded event, laid out as the readers' records: t int64 at 0, x int16 at 8,
/// y int16 at 10, p uint8 at 12, 16 bytes.
struct Event {
    std::int64_t t;
    std::int16_t x;
    std::int16_t y;
    std::uint8_t p;
    std::uint8_t pad[3];
};
static_assert(sizeof(Event) == 16);

/// Everything decoding needs to resume, as whole int64 values (callers keep it as an
/// array of kStateSlots of them: a copy is a position to resume from).
struct State {
    std::int64_t encoding;      // an Encoding
    std::int64_t offset;        // bytes of the data decoded so far
    std::int64_t time_high;     // the last time-high value
    std::int64_t time_base;     // the time that the time-high words give, wraps counted
    std::int64_t time;          // the time of the next event
    std::int64_t wraps;         // time-high (or DAT time) wraps so far
    std::int64_t seen_high;     // 1 once a time-high word (a DAT record) was read
    std::int64_t y;             // EVT 3.0: the row of the next events
    std::int64_t base_x;        // EVT 3.0: the x of the next vector
    std::int64_t polarity;      // EVT 3.0: the polarity of the next events
    std::int64_t events;        // events decoded so far
    std::int64_t triggers;      // external trigger words skipped
    std::int64_t others;        // vendor "others" words skipped
    std::int64_t continuations; // continuation words skipped
    std::int64_t unknown;       // words of no known type (padding) skipped
    std::int64_t t_min;         // smallest and largest event time (valid once events > 0)
    std::int64_t t_max;
    std::int64_t stop_on;       // 1: stop before the first event at stop_at or later
    std::int64_t stop_at;
};
inline constexpr std::size_t kStateSlots = sizeof(State) / sizeof(std::int64_t);
static_assert(kStateSlots == 19);

/// A fresh state for the encoding.
[[nodiscard]] State start(Encoding encoding) noexcept;

enum class [[nodiscard]] Status {
    Ok,        // every whole word decoded (a partial word at the end is left)
    Full,      // the output is full; decode again from *consumed
    Damaged,   // a word that cannot be right at offset + *consumed; what came before is kept
    BadState,  // the state is not one this module made
    Reached,   // stopped before the word of the first event at stop_at or later
};

/// The smallest output room decode accepts (the events of one word).
inline constexpr std::size_t kMinRoom = 32;

/// Decodes the whole words of data[0, size) into out (room events, at least kMinRoom;
/// out null: only counts events and their time extremes in the state, which is the
/// fast scan). Sets *written to the events written and *consumed to the bytes decoded;
/// the state is advanced past them.
Status decode(const unsigned char* data, std::size_t size, State& state, Event* out, std::size_t room,
              std::size_t* written, std::size_t* consumed) noexcept;

}  // namespace nivra::kernels::evt
