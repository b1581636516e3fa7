// viz/kernels/eventstream.h: decoding the events of Event Stream (.es) files, version 2,
// DVS and ATIS types, a block of bytes at a time.
//
// After the header every event starts with a byte holding the time since the event
// before it (and the polarity bits); the bytes that cannot start an event add time
// only. DVS: bits 7-1 the time step (0-126 us), bit 0 the polarity (1: brighter); 0xFF
// adds 127 us, 0xFE is a reset byte that adds nothing. ATIS: bits 7-2 the time step
// (0-62 us), bit 1 the polarity, bit 0 set for an exposure measurement (a grey-level
// threshold crossing) instead of a change; 0xFC-0xFF add 63 us times their two low
// bits. Then x and y, uint16 little-endian each: 5 bytes an event.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nivra::kernels {

/// The type byte of an Event Stream header.
enum class EsType : unsigned char { Generic = 0, Dvs = 1, Atis = 2, Color = 4 };

/// Bytes of an event, its first byte included.
inline constexpr std::size_t kEsEventBytes = 5;

/// Where the decoded records go: packed records of `stride` bytes with t (int64) at
/// byte 0, x and y (uint16) at 8 and 10, p (uint8) at 12, native byte order. A null
/// `base` counts events and advances the time without writing any (no capacity).
struct EsOutput {
    unsigned char* base = nullptr;
    std::size_t stride = 13;
    std::size_t capacity = 0;
};

enum class [[nodiscard]] EsStatus {
    NeedBytes,      // every whole event read: fewer than an event's bytes are left
    Full,           // the output has no room for the next event
    OutsideSensor,  // the event at `used` lies outside the sensor: the stream is damaged
};

/// What one call decoded. `used` bytes were taken (the next call starts there, with
/// the state's time); `events` records written (or counted), `exposures` ATIS exposure
/// measurements passed over, `last` the time of the last event taken (when there is
/// one; the time may run on past it over overflow bytes); for OutsideSensor the
/// offending coordinates.
struct EsResult {
    EsStatus status = EsStatus::NeedBytes;
    std::size_t used = 0;
    std::size_t events = 0;
    std::size_t exposures = 0;
    std::uint64_t last = 0;
    std::uint16_t x = 0, y = 0;
};

/// Decodes DVS or ATIS events from data[0, size), adding every time step to *t (the
/// absolute time in us of the last event taken; 0 at the start of the stream). Stops
/// before an event that does not fit the output, lies outside width x height or is
/// not whole in the data; never reads past data + size. Other types decode nothing.
EsResult decode_event_stream(EsType type, const unsigned char* data, std::size_t size,
                             std::uint16_t width, std::uint16_t height, std::uint64_t* t,
                             const EsOutput& out) noexcept;

}  // namespace nivra::kernels
