// viz/kernels/events.h: one-pass binning of event records into frame stacks and rasters,
// and the per-frame colouring of count stacks into RGB images.
//
// Every result equals, bit for bit, the chain of whole-array steps it replaces:
// columns cast to float64 (time) and int32 (coordinates) as the array library casts
// them on x86-64, float64 time arithmetic in the written order, float32 counts added
// one at a time, float32 scaling for the images.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nivra::kernels {

/// How a record field stores its values.
enum class FieldKind : unsigned char { Bool, Int, UInt, Float };

/// One field of a 1-D record array: the address of the field in the first
/// record, the byte distance between records (any sign), and its encoding.
struct Field {
    const unsigned char* base = nullptr;
    std::ptrdiff_t stride = 0;
    FieldKind kind = FieldKind::Int;
    unsigned char size = 0;  // 1, 2, 4 or 8 (floats: 4 or 8)
    bool swap = false;       // stored in the other byte order
};

/// True when a field of that kind and size can be read by these kernels.
[[nodiscard]] bool field_supported(FieldKind kind, int size) noexcept;

enum class [[nodiscard]] Status { Ok, NonFinite };

/// The columns one binning pass reads; y and p may be absent (null base).
struct EventColumns {
    Field x, y, t, p;
    bool has_y = false;
    bool has_p = false;
};

/// The largest value of each of k integer or bool fields over n > 0 events, in one
/// pass over the records (bool: 0 or 1).
void column_maxima(const Field* fields, std::size_t k, std::size_t n, __int128* out) noexcept;

/// The time bins of a binning pass. The bin of an event is ((t - t_min) / t_range *
/// scale) cast to int32, then clipped to [0, bins - 1]; scale is (bins - 0.001).
struct TimeBins {
    using Wide = __int128;
    double t_min = 0, t_max = 0;  // over all events, as float64 (NaN when a time is NaN)
    double t_range = 0;           // max(t_max - t_min, 1e-9), set by the caller
    double scale = 0;
    std::int32_t bins = 1;        // >= 1
    bool has_int_bounds = false;  // integer times: their exact bounds follow
    Wide int_min = 0, int_max = 0;
};

/// Fills t_min, t_max (and the exact integer bounds of integer times) from n > 0 events.
void time_bounds(const Field& t, std::size_t n, TimeBins* tb) noexcept;

/// Adds 1.0f into frames[bin][channel][y][x] (float32, shape (bins, 2, height, width),
/// zero-filled by the caller) for every event with 0 <= x < width and 0 <= y < height;
/// channel 0 when p > 0 (or without p), else 1.
void bin_frames(const EventColumns& cols, std::size_t n, const TimeBins& tb, std::int64_t width,
                std::int64_t height, float* frames) noexcept;

/// frames[f] = frames[f - 1] + frames[f] in float32, f = 1 .. bins - 1.
void accumulate_frames(float* frames, std::size_t bins, std::size_t plane) noexcept;

/// Adds 1.0f into raster[bin][neuron] (float32, shape (bins, n_neurons)) where
/// neuron = int32(y * width + x) with int32 wrap-around (x alone without y), for every
/// event with 0 <= neuron < n_neurons.
void bin_raster(const EventColumns& cols, std::size_t n, const TimeBins& tb, std::int32_t width,
                std::int64_t n_neurons, float* raster) noexcept;

/// The events a raster limited to neurons [0, limit) may keep, collected by
/// scan_raster into the caller's buffer (indices, in order): every event whose neuron
/// can lie in that range for some width no smaller than the largest x read so far,
/// plus 1 (the final width is no smaller). When less than 2,048 entries of room are
/// left the scan stops collecting and sets `overflow`.
struct Candidates {
    std::uint32_t* index = nullptr;
    std::size_t capacity = 0;
    std::size_t count = 0;
    bool overflow = false;
    std::uint64_t limit = 0;
    // The largest int32 casts of x and y, read as uint32 (negative ones are large):
    // whether the widths used while collecting ruled out only events outside the range.
    std::uint32_t max_xu = 0, max_yu = 0;
};

/// One pass over n > 0 events for a raster: the largest x and y (integer or bool
/// fields; y only with cols.has_y) into maxima[0] and maxima[1], the time bounds as
/// time_bounds finds them, and, with `cand`, the candidate events.
void scan_raster(const EventColumns& cols, std::size_t n, __int128 maxima[2], TimeBins* tb,
                 Candidates* cand) noexcept;

/// True when the candidates hold every event whose neuron for this width lies in
/// [0, cand.limit), that is: collection did not overflow, and without y, or with all
/// coordinates non-negative and no y * width + x past the int32 range.
[[nodiscard]] bool candidates_complete(const Candidates& cand, std::int64_t width, bool has_y) noexcept;

/// bin_raster over the candidate events only (complete ones give the same raster).
void bin_raster_candidates(const EventColumns& cols, const Candidates& cand, const TimeBins& tb,
                           std::int32_t width, std::int64_t n_neurons, float* raster) noexcept;

/// A stack of n float32 planes of h*w values: plane i starts at base + i * stride
/// (in floats), values row-major and contiguous inside a plane.
struct Planes {
    const float* base = nullptr;
    std::ptrdiff_t stride = 0;
};

/// Colours n frames into rgb (uint8, (n, h, w, 3), zero-filled by the caller): blue from
/// on, red from off (null: all zeros), value = uint8(clip(v / scale * 255, 0, 255)) in
/// float32, with per-frame scales max(peak, 1): one shared by both channels when
/// `shared_scale`, else one per channel. Returns NonFinite when an input value is NaN
/// or infinite: frames before it are coloured, the rest untouched (callers redo all).
Status colour_frames(Planes on, Planes off, std::size_t n, std::size_t plane, bool shared_scale,
                     unsigned char* rgb) noexcept;

}  // namespace nivra::kernels
