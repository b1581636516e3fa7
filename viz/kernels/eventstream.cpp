// viz/kernels/eventstream.cpp: the Event Stream byte decoder (see eventstream.h).
#include "eventstream.h"

#include <cstring>

namespace nivra::kernels {

namespace {

inline std::uint16_t le16(const unsigned char* p) noexcept {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

void put(const EsOutput& out, std::size_t i, std::uint64_t t, std::uint16_t x, std::uint16_t y,
         unsigned char p) noexcept {
    unsigned char* r = out.base + i * out.stride;
    const auto st = static_cast<std::int64_t>(t);
    std::memcpy(r, &st, 8);
    std::memcpy(r + 8, &x, 2);
    std::memcpy(r + 10, &y, 2);
    r[12] = p;
}

// One loop for both types: `Atis` picks the meaning of the first byte.
template <bool Atis>
EsResult decode(const unsigned char* data, std::size_t size, std::uint16_t width, std::uint16_t height,
                std::uint64_t* t_io, const EsOutput& out) noexcept {
    EsResult r;
    std::uint64_t t = *t_io;
    std::size_t i = 0;
    const bool counting = out.base == nullptr;
    while (i < size) {
        const unsigned char b = data[i];
        std::uint64_t step;
        bool exposure = false;
        unsigned char polarity;
        if constexpr (Atis) {
            if ((b & 0xFC) == 0xFC) {  // overflow: 63 us times the low bits
                t += 63u * (b & 3u);
                ++i;
                continue;
            }
            step = b >> 2;
            exposure = (b & 1) != 0;
            polarity = static_cast<unsigned char>((b >> 1) & 1);
        } else {
            if (b >= 0xFE) {  // 0xFF: overflow by 127 us; 0xFE: reset, no time
                if (b == 0xFF) t += 127;
                ++i;
                continue;
            }
            step = b >> 1;
            polarity = static_cast<unsigned char>(b & 1);
        }
        if (size - i < kEsEventBytes) break;
        const std::uint16_t x = le16(data + i + 1), y = le16(data + i + 3);
        if (x >= width || y >= height) {
            r.status = EsStatus::OutsideSensor;
            r.x = x;
            r.y = y;
            break;
        }
        if (exposure) {
            t += step;
            ++r.exposures;
            i += kEsEventBytes;
            continue;
        }
        if (!counting && r.events == out.capacity) {
            r.status = EsStatus::Full;
            break;
        }
        t += step;
        if (!counting) put(out, r.events, t, x, y, polarity);
        r.last = t;
        ++r.events;
        i += kEsEventBytes;
    }
    r.used = i;
    *t_io = t;
    return r;
}

}  // namespace

EsResult decode_event_stream(EsType type, const unsigned char* data, std::size_t size,
                             std::uint16_t width, std::uint16_t height, std::uint64_t* t,
                             const EsOutput& out) noexcept {
    if (type == EsType::Dvs) return decode<false>(data, size, width, height, t, out);
    if (type == EsType::Atis) return decode<true>(data, size, width, height, t, out);
    return EsResult{};
}

}  // namespace nivra::kernels
