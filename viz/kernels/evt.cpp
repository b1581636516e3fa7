// viz/kernels/evt.cpp: the Prophesee word decoders of evt.h, one scalar loop each.
#include "evt.h"

#include <bit>

namespace nivra::kernels::evt {

namespace {

constexpr std::int64_t kMaxX = 2047;  // x addresses are 11 bits

inline std::uint16_t load16(const unsigned char* p) noexcept {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t load32(const unsigned char* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Events go out through this: into the output, or (a scan) only into the counts.
struct Sink {
    State& s;
    Event* out;
    std::size_t n = 0;

    bool reached(std::int64_t t) const noexcept { return s.stop_on && t >= s.stop_at; }
    void note(std::int64_t t, std::int64_t count) noexcept {
        if (s.events == 0 || t < s.t_min) s.t_min = t;
        if (s.events == 0 || t > s.t_max) s.t_max = t;
        s.events += count;
    }
    void one(std::int64_t t, std::int64_t x, std::int64_t y, std::int64_t p) noexcept {
        note(t, 1);
        if (!out) return;
        Event& e = out[n++];
        e.t = t;
        e.x = static_cast<std::int16_t>(x);
        e.y = static_cast<std::int16_t>(y);
        e.p = static_cast<std::uint8_t>(p);
        e.pad[0] = e.pad[1] = e.pad[2] = 0;
    }
    // The pixels x0 + i of the set bits i of mask (in order of i).
    void row(std::int64_t t, std::int64_t x0, std::int64_t y, std::int64_t p, std::uint32_t mask) noexcept {
        if (!mask) return;
        if (!out) {
            note(t, std::popcount(mask));
            return;
        }
        while (mask) {
            const int i = std::countr_zero(mask);
            one(t, x0 + i, y, p);
            mask &= mask - 1;
        }
    }
};

// A new time-high value: a step back by more than half its range is a wrap.
inline void time_high(State& s, std::int64_t high, int bits) noexcept {
    const std::int64_t range = std::int64_t{1} << bits;
    if (s.seen_high && high < s.time_high - range / 2) ++s.wraps;
    s.seen_high = 1;
    s.time_high = high;
}

Status evt3(const unsigned char* data, std::size_t words, State& s, Sink& sink, std::size_t room,
            std::size_t* done) noexcept {
    std::size_t i = 0;
    for (; i < words; ++i) {
        if (sink.out && room - sink.n < 12) break;
        const std::uint16_t w = load16(data + 2 * i);
        const std::int64_t v = w & 0x7FF;
        switch (w >> 12) {
            case 0x0: s.y = v; break;
            case 0x2:
                if (sink.reached(s.time)) {
                    *done = i;
                    return Status::Reached;
                }
                sink.one(s.time, v, s.y, (w >> 11) & 1);
                break;
            case 0x3:
                s.base_x = v;
                s.polarity = (w >> 11) & 1;
                break;
            case 0x4:
            case 0x5: {
                const bool wide = (w >> 12) == 0x4;
                const std::uint32_t mask = wide ? (w & 0xFFFu) : (w & 0xFFu);
                if (mask && s.base_x + (std::bit_width(mask) - 1) > kMaxX) {
                    *done = i;
                    return Status::Damaged;
                }
                if (mask && sink.reached(s.time)) {
                    *done = i;
                    return Status::Reached;
                }
                sink.row(s.time, s.base_x, s.y, s.polarity, mask);
                s.base_x += wide ? 12 : 8;
                break;
            }
            case 0x6: s.time = s.time_base + (w & 0xFFF); break;
            case 0x8:
                time_high(s, w & 0xFFF, 12);
                s.time_base = (s.wraps << 24) + (s.time_high << 12);
                s.time = s.time_base;
                break;
            case 0xA: ++s.triggers; break;
            case 0xE: ++s.others; break;
            case 0x7:
            case 0xF: ++s.continuations; break;
            default: ++s.unknown; break;
        }
    }
    *done = i;
    return Status::Ok;
}

// EVT 2.0 (rows of one pixel) and EVT 2.1 (rows of 32) share their time words.
Status evt2(const unsigned char* data, std::size_t words, bool rows, State& s, Sink& sink, std::size_t room,
            std::size_t* done) noexcept {
    const std::size_t step = rows ? 8 : 4;
    std::size_t i = 0;
    for (; i < words; ++i) {
        if (sink.out && room - sink.n < (rows ? 32 : 1)) break;
        const unsigned char* p = data + step * i;
        const std::uint32_t mask = rows ? load32(p) : 1u;
        const std::uint32_t w = rows ? load32(p + 4) : load32(p);
        switch (w >> 28) {
            case 0x0:
            case 0x1: {
                const std::int64_t x = (w >> 11) & 0x7FF;
                if (mask && x + (std::bit_width(mask) - 1) > kMaxX) {
                    *done = i;
                    return Status::Damaged;
                }
                const std::int64_t t = (s.wraps << 34) + (s.time_high << 6) + ((w >> 22) & 0x3F);
                if (mask && sink.reached(t)) {
                    *done = i;
                    return Status::Reached;
                }
                sink.row(t, x, w & 0x7FF, w >> 28, mask);
                break;
            }
            case 0x8: time_high(s, w & 0x0FFFFFFF, 28); break;
            case 0xA: ++s.triggers; break;
            case 0xE: ++s.others; break;
            case 0xF: ++s.continuations; break;
            default: ++s.unknown; break;
        }
    }
    *done = i;
    return Status::Ok;
}

Status dat(const unsigned char* data, std::size_t records, State& s, Sink& sink, std::size_t room,
           std::size_t* done) noexcept {
    std::size_t i = 0;
    for (; i < records; ++i) {
        if (sink.out && sink.n == room) break;
        const std::uint32_t t = load32(data + 8 * i);
        const std::uint32_t w = load32(data + 8 * i + 4);
        const bool wrap = s.seen_high && t < s.time_high - (std::int64_t{1} << 31);
        if (sink.reached(((s.wraps + wrap) << 32) + t)) break;
        time_high(s, t, 32);
        sink.one((s.wraps << 32) + t, w & 0x3FFF, (w >> 14) & 0x3FFF, w >> 28);
    }
    *done = i;
    return i < records && !(sink.out && sink.n == room) ? Status::Reached : Status::Ok;
}

}  // namespace

std::size_t word_size(std::int64_t encoding) noexcept {
    switch (static_cast<Encoding>(encoding)) {
        case Encoding::Evt3: return 2;
        case Encoding::Evt2: return 4;
        case Encoding::Evt21: return 8;
        case Encoding::Dat: return 8;
    }
    return 0;
}

State start(Encoding encoding) noexcept {
    State s{};
    s.encoding = static_cast<std::int64_t>(encoding);
    return s;
}

Status decode(const unsigned char* data, std::size_t size, State& state, Event* out, std::size_t room,
              std::size_t* written, std::size_t* consumed) noexcept {
    *written = *consumed = 0;
    const std::size_t unit = word_size(state.encoding);
    if (!unit || state.offset < 0 || state.wraps < 0 || state.events < 0 || (out && room < kMinRoom))
        return Status::BadState;
    // Decoded in a copy the compiler can keep in registers (the output's int64 stores
    // could otherwise alias the state's fields).
    State local = state;
    Sink sink{local, out};
    const std::size_t words = size / unit;
    std::size_t done = 0;
    Status status = Status::Ok;
    switch (static_cast<Encoding>(state.encoding)) {
        case Encoding::Evt3: status = evt3(data, words, local, sink, room, &done); break;
        case Encoding::Evt2: status = evt2(data, words, false, local, sink, room, &done); break;
        case Encoding::Evt21: status = evt2(data, words, true, local, sink, room, &done); break;
        case Encoding::Dat: status = dat(data, words, local, sink, room, &done); break;
    }
    state = local;
    *written = sink.n;
    *consumed = done * unit;
    state.offset += static_cast<std::int64_t>(*consumed);
    if (status == Status::Ok && done < words) status = Status::Full;  // the output filled up
    return status;
}

}  // namespace nivra::kernels::evt
