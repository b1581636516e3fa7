// viz/kernels/events.cpp: event binning into frame stacks and rasters (see events.h).
//
// Events are processed in chunks: each column of a chunk is first converted into a
// small typed buffer by a loop specialised for its storage (type, byte order; chosen
// by visit_field, event_fields.h), then the chunk is scattered. Memory use is the
// caller's output plus these buffers. A raster's first read of its events, which finds
// the sensor extents and time bounds, is in raster_scan.cpp; colouring in colour.cpp.
#include "event_fields.h"

namespace nivra::kernels {

using namespace fields;

bool field_supported(FieldKind kind, int size) noexcept {
    switch (kind) {
        case FieldKind::Bool: return size == 1;
        case FieldKind::Int:
        case FieldKind::UInt: return size == 1 || size == 2 || size == 4 || size == 8;
        case FieldKind::Float: return size == 4 || size == 8;
    }
    return false;
}

void column_maxima(const Field* fields, std::size_t k, std::size_t n, __int128* out) noexcept {
    // Seeded with the first event; then chunk by chunk, so the records of a chunk
    // are read from memory once for all fields.
    for (std::size_t j = 0; j < k; ++j) out[j] = value_at(fields[j], fields[j].base);
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t count = std::min(kChunk, n - start);
        for (std::size_t j = 0; j < k; ++j) {
            const Field& f = fields[j];
            out[j] = chunk_max(f, f.base + static_cast<std::ptrdiff_t>(start) * f.stride, count, out[j]);
        }
    }
}

namespace {

// The bounds of integer times in one pass, exactly and as float64.
template <class S>
void int_bounds(const Field& t, std::size_t n, TimeBins* tb) noexcept {
    using V = Value<S>;
    V mn = load<S>(t.base), mx = mn;
    for (std::size_t i = 1; i < n; ++i) {
        const V v = load<S>(t.base + static_cast<std::ptrdiff_t>(i) * t.stride);
        mn = v < mn ? v : mn;
        mx = v > mx ? v : mx;
    }
    // The conversion to float64 is monotonic, so it commutes with min and max.
    tb->t_min = static_cast<double>(mn);
    tb->t_max = static_cast<double>(mx);
    tb->has_int_bounds = true;
    tb->int_min = mn;
    tb->int_max = mx;
}

}  // namespace

void time_bounds(const Field& t, std::size_t n, TimeBins* tb) noexcept {
    tb->has_int_bounds = false;
    const bool done = visit_field(t, [&]<class S>(S) {
        if constexpr (kIntegerStorage<S>) int_bounds<S>(t, n, tb);
        return kIntegerStorage<S>;
    });
    if (done) return;
    double buf[kChunk];
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    bool nan = false;
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t count = std::min(kChunk, n - start);
        convert<Target::Float64>(t, start, count, buf);
        for (std::size_t i = 0; i < count; ++i) {
            const double v = buf[i];
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
            nan |= v != v;
        }
    }
    if (nan) lo = hi = std::numeric_limits<double>::quiet_NaN();
    tb->t_min = lo;
    tb->t_max = hi;
}

void bin_frames(const EventColumns& cols, std::size_t n, const TimeBins& tb, std::int64_t width,
                std::int64_t height, float* frames) noexcept {
    ChunkBins chunk_bins(cols.t, tb);
    std::int32_t bin[kChunk], x[kChunk], y[kChunk];
    std::int64_t cell[kChunk];
    unsigned char on[kChunk];
    const std::int64_t plane = width * height;
    const bool same = same_integer_storage(cols);
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t count = std::min(kChunk, n - start);
        chunk_bins.bins(start, count, bin);
        if (cols.has_p)
            convert<Target::Positive>(cols.p, start, count, on);
        else
            std::fill_n(on, count, static_cast<unsigned char>(1));
        std::size_t kept = 0;
        if (same) {
            // y is stored as x is: x's storage reads both.
            kept = visit_field(cols.x, [&]<class S>(S) -> std::size_t {
                if constexpr (kIntegerStorage<S>)
                    return cells_same<S>(cols.x, cols.y, start, count, bin, on, width, height, cell);
                return 0;  // same_integer_storage holds only for integers
            });
        } else {
            convert<Target::Int32>(cols.x, start, count, x);
            if (cols.has_y)
                convert<Target::Int32>(cols.y, start, count, y);
            else
                std::fill_n(y, count, 0);
            // Cell of each event (-1: outside the sensor is skipped).
            for (std::size_t i = 0; i < count; ++i) {
                const std::int64_t xi = x[i], yi = y[i];
                const bool inside = xi >= 0 && xi < width && yi >= 0 && yi < height;
                const std::int64_t channel = on[i] ? 0 : 1;
                cell[kept] = (static_cast<std::int64_t>(bin[i]) * 2 + channel) * plane + yi * width + xi;
                kept += inside;
            }
        }
        // The adds wait on cache misses otherwise: fetch the cells a few events ahead.
        constexpr std::size_t kAhead = 16;
        for (std::size_t i = 0; i < kept; ++i) {
            if (i + kAhead < kept) __builtin_prefetch(frames + cell[i + kAhead], 1);
            frames[cell[i]] += 1.0f;
        }
    }
}

void accumulate_frames(float* frames, std::size_t bins, std::size_t plane) noexcept {
    for (std::size_t f = 1; f < bins; ++f) {
        const float* prev = frames + (f - 1) * plane;
        float* cur = frames + f * plane;
        for (std::size_t i = 0; i < plane; ++i) cur[i] = prev[i] + cur[i];
    }
}

void bin_raster(const EventColumns& cols, std::size_t n, const TimeBins& tb, std::int32_t width,
                std::int64_t n_neurons, float* raster) noexcept {
    ChunkBins chunk_bins(cols.t, tb);
    std::int32_t bin[kChunk], x[kChunk], y[kChunk];
    const std::uint32_t w = static_cast<std::uint32_t>(width);
    const bool same = same_integer_storage(cols);
    for (std::size_t start = 0; start < n; start += kChunk) {
        const std::size_t count = std::min(kChunk, n - start);
        chunk_bins.bins(start, count, bin);
        if (same) {
            visit_field(cols.x, [&]<class S>(S) {
                if constexpr (kIntegerStorage<S>)
                    add_spikes_same<S>(cols.x, cols.y, start, count, bin, w, n_neurons, raster);
            });
            continue;
        }
        convert<Target::Int32>(cols.x, start, count, x);
        if (cols.has_y) convert<Target::Int32>(cols.y, start, count, y);
        for (std::size_t i = 0; i < count; ++i)
            add_spike(raster, bin[i], cols.has_y ? neuron_of(x[i], y[i], w) : x[i], n_neurons);
    }
}

}  // namespace nivra::kernels
