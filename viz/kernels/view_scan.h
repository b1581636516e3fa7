// viz/kernels/view_scan.h: the viewer's opening pass over one chunk of event records:
// time extremes and order, ON/OFF activity per time step, ON/OFF totals per pixel and the
// events left out (no valid time, negative coordinates, beyond a known sensor).
//
// A recording is scanned chunk by chunk into the same outputs and totals. The outputs are
// the caller's, with room it grows: the scan stops before a block of events that needs
// more (ScanStop), and is called again with the rest once the room is made.
#pragma once

#include "accumulate.h"  // Number, EventColumns

#include <cstddef>
#include <cstdint>

namespace nivra::kernels {

/// What stays fixed during one call.
struct ScanSpec {
    EventColumns cols;       // x, t required; y and p optional
    bool int_time = false;   // t has integer storage (Number::i), else float (Number::f)
    // Activity: an event's step k is the largest k with origin + k * step <= t (exact for
    // integer times; float64 edges for float times). Rows ON, OFF of `bins` steps each,
    // column 0 being step `first`.
    std::int64_t step = 1;
    std::int64_t* activity = nullptr;
    std::int64_t first = 0, bins = 0;
    // Per-pixel totals (2, height, width): the room, which must cover every coordinate
    // seen (up to the limit).
    std::int64_t* pixels = nullptr;
    std::int64_t width = 0, height = 0;
    // A sensor known beforehand: events at or past it are left out as outside.
    bool limited = false;
    std::int64_t limit_width = 0, limit_height = 0;
};

/// Everything carried from chunk to chunk; extremes valid once their flag is set.
struct ScanTotals {
    std::uint64_t count = 0;     // events taken
    std::uint64_t bad_time = 0;  // of those, time NaN or infinite (left out of the rest)
    std::uint64_t negative = 0;  // a coordinate below zero
    std::uint64_t outside = 0;   // not negative, at or past the limit
    // The activity's origin: the first valid time (a float time is whole when
    // origin_whole, then in Number::i).
    bool any_origin = false, origin_whole = false;
    Number origin;
    bool any_time = false;       // t_lo, t_hi and last (the previous valid time)
    Number t_lo, t_hi, last;
    bool sorted = true;          // every valid time at or after the one before
    bool any_step = false;       // the lowest and highest activity step used
    std::int64_t step_lo = 0, step_hi = 0;
    bool any_xy = false;         // the largest x and y (int32 casts of float coordinates)
    std::int64_t x_max = 0, y_max = 0;
};

/// The extremes of the valid times this call took.
struct ScanChunk {
    bool any = false;
    Number lo, hi;
};

enum class ScanStop { Done, Pixels, Activity };

struct ScanResult {
    std::size_t consumed = 0;  // events taken, from the first
    ScanStop stop = ScanStop::Done;
    // Pixels: the room wanted (largest coordinates plus 1, within the limit); Activity:
    // the steps wanted, lowest and highest (all used so far and the block's).
    std::int64_t need_a = 0, need_b = 0;
};

/// Scans events [0, n), or stops before a block that needs more room than the outputs
/// have (nothing of that block counted, except the origin).
ScanResult view_scan(const ScanSpec& spec, ScanTotals& totals, ScanChunk& chunk, std::size_t n) noexcept;

}  // namespace nivra::kernels
