// viz/kernels/accumulate.h: one pass over a chunk of event records that adds everything a
// recording's page needs: the counts of its frame stack, grid and raster, optional
// per-pixel totals and an activity histogram, and the statistics that say which events
// were seen, kept and left out.
//
// A recording is accumulated chunk by chunk into the same outputs; what one chunk leaves
// (totals, extremes, the raster's current width) is carried into the next through
// AccTotals. Counts equal, bit for bit, binning the selected events whole with the
// array arithmetic of events.h (float64 time bins over the given span, float32 counts
// added one at a time), with one difference: a coordinate that int32 cannot hold is off
// the sensor and out of the raster (the array cast would wrap it onto the sensor).
#pragma once

#include "events.h"

#include <cstddef>
#include <cstdint>

namespace nivra::kernels {

/// A bound or extreme of a time or coordinate field: exact for integer (and bool)
/// storage, float64 for float storage.
struct Number {
    __int128 i = 0;
    double f = 0;
};

/// What stays fixed while a recording is accumulated.
struct AccSpec {
    EventColumns cols;       // x, t required; y and p optional
    bool int_time = false;   // t has integer storage (then Number::i), else float (Number::f)
    bool int_x = false, int_y = false;  // the coordinates likewise
    // The window on the time field, each bound optional: lo <= t < hi for integer times
    // (exact), lo <= t - origin < hi in float64 for float times.
    bool has_lo = false, has_hi = false;
    Number lo, hi, origin;
    // Binning: the time bins of each output over the selected events' span. Without
    // binning only the totals are kept (a pass that finds the span first).
    bool binning = false;
    TimeBins frame_tb, grid_tb, raster_tb;
    // Activity histogram: steps of histogram_step (> 0) from histogram_start.
    Number histogram_start, histogram_step;
    // The sensor: events with 0 <= x < width and 0 <= y < height are counted into the
    // frames, grid, pixel totals and histogram. With `detected` the sensor is what the
    // coordinates reach (every event from 0 is on it) and width and height are the
    // outputs' room: a binning pass stops before a block of events that reaches past
    // it (AccStop::Grow).
    std::int64_t width = 0, height = 0;
    bool detected = false;
};

/// The outputs, owned by the caller and zero-filled before the first chunk; any may be
/// absent (null).
struct AccOutputs {
    float* frames = nullptr;             // (frame_tb.bins, 2, height, width)
    float* grid = nullptr;               // (grid_tb.bins, 2, height, width)
    // With frames and grid: for each frame, the grid bin holding all of its events, or
    // -1 (grid_of_frames fills it). The grid then counts only the events of frames
    // marked -1; the caller adds each other frame into its grid bin at the end (the
    // counts are whole numbers, so that sum, capped at 2^24 as float32 additions of 1
    // stop there, is the count itself). Null: every event into the grid.
    const std::int32_t* grid_of_frame = nullptr;
    float* raster = nullptr;             // (raster_tb.bins, raster_limit), see AccTotals
    std::int64_t raster_limit = 0;       // neurons kept: 0 .. limit - 1, limit < 2^31
    std::int64_t* pixels = nullptr;      // (2, height, width): ON, OFF totals per pixel
    std::int64_t* histogram = nullptr;   // (histogram_steps, 2): ON, OFF per time step
    std::int64_t histogram_steps = 0;
    // Raster events whose neuron depends on the final width in a way the raster's own
    // layout cannot hold (x < 0, y > 0): (bin, y, x) triples, for the caller to add once
    // the width is known. The pass stops (AccStop::Room) when a block might not fit.
    std::int32_t* pending = nullptr;
    std::size_t pending_capacity = 0;
    // Optional, (height, width): what each pixel's events go into. kLeftOutPixel: nothing
    // (counted in AccTotals::masked, e.g. a hot pixel); 0 .. raster_limit - 1: drawn, and
    // that raster column; any other value: drawn, not in the raster. With it the raster
    // takes drawn events by this column (never pending, never re-laid out).
    const std::int32_t* pixel_map = nullptr;
};

inline constexpr std::int32_t kLeftOutPixel = -2;

/// Totals of the events seen so far. Extremes are valid once their flag is set.
struct AccTotals {
    std::uint64_t count = 0;           // events seen
    std::uint64_t bad_time = 0;        // time not finite (float times)
    std::uint64_t outside_window = 0;  // finite time outside the window
    std::uint64_t outside = 0;         // selected but not on the sensor, of which
    std::uint64_t negative = 0;        //   with a negative coordinate
    bool any_time = false;             // t_lo, t_hi: over every event with a finite time
    Number t_lo, t_hi;
    bool any_selected = false;         // s_lo, s_hi: over the selected events
    Number s_lo, s_hi;
    bool any_x = false, any_y = false; // x_max, y_max: over the selected events (NaN left out)
    Number x_max, y_max;
    bool fractional = false;           // a selected float time has a fraction
    std::size_t pending = 0;           // entries of AccOutputs::pending in use
    std::uint64_t masked = 0;          // on the sensor, at a pixel the map leaves out
};

enum class AccStop { Done, Grow, Room };

struct AccResult {
    std::size_t consumed = 0;  // events accumulated, from the first
    AccStop stop = AccStop::Done;
    std::int64_t need_width = 0, need_height = 0;  // Grow: the capacity wanted
};

/// Accumulates events [0, n) or stops early (at a block boundary, before anything of the
/// block is counted) when the outputs need more room. Raster neurons: y * w + x, where w
/// is the largest x of the selected events so far plus 1, for 0 <= x, 0 <= y (the
/// raster's columns are re-laid out in place whenever w grows: the neuron of an entry
/// only moves up, and an entry pushed past the limit stays out, since the final width
/// is no smaller); x alone without y. The caller adds the pending entries with the
/// final width.
AccResult accumulate(const AccSpec& spec, const AccOutputs& out, AccTotals& totals, std::size_t n) noexcept;

/// Frames longer than this get no grid shortcut (its table is found by a search per frame).
inline constexpr std::int32_t kMaxShortcutFrames = 1 << 16;

/// Fills out[frame_tb.bins]: the grid bin that every integer time of each frame falls
/// into, or -1 (a grid edge inside the frame, or no integer time in it). False when
/// that table does not apply (float times, too many frames); `out` is then untouched.
bool grid_of_frames(const AccSpec& spec, std::int32_t* out) noexcept;

/// The raster width the totals imply: the largest selected x plus 1, clamped to
/// [0, limit + 1] (a wider raster keeps only row 0, as this width does).
std::int64_t raster_width(const AccSpec& spec, const AccTotals& totals, std::int64_t limit) noexcept;

}  // namespace nivra::kernels
