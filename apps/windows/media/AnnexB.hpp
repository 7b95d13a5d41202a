#pragma once
// Annex-B access units: start codes, NAL units, and the picture size a sequence parameter set
// announces. Received units come from the other peer, so a software decoder's input is checked
// here first: every SPS must be readable and announce a picture inside the frame envelope before
// a decoder may allocate for it. Reads only within the given bytes; allocates nothing.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "media/MediaTypes.hpp"

namespace murel {

// Begins with 00 00 01 or 00 00 00 01.
bool startsWithStartCode(std::span<const std::uint8_t> bytes);

// Calls visit for each NAL unit (without its start code and trailing zero bytes) in order; stops
// early when visit returns false. Bytes before the first start code are skipped.
void forEachNalUnit(std::span<const std::uint8_t> accessUnit,
                    const std::function<bool(std::span<const std::uint8_t> nal)>& visit);

// NAL unit types.
inline constexpr int kH264NalIdr = 5;
inline constexpr int kH264NalSps = 7;
inline constexpr int kH264NalPps = 8;
inline constexpr int kHevcNalVps = 32;
inline constexpr int kHevcNalSps = 33;
inline constexpr int kHevcNalPps = 34;

// The NAL unit type of a NAL unit's header; -1 for an empty or malformed header.
int nalUnitType(VideoCodec codec, std::span<const std::uint8_t> nal);

struct CodedSize {
    std::uint32_t width = 0;   // coded luma samples (whole macroblocks / coding units)
    std::uint32_t height = 0;

    bool operator==(const CodedSize&) const = default;
};

// The coded picture size of an SPS NAL unit (header included); nothing when it cannot be read or
// is out of the syntax's range.
std::optional<CodedSize> parseH264SpsSize(std::span<const std::uint8_t> nal);
std::optional<CodedSize> parseHevcSpsSize(std::span<const std::uint8_t> nal);

// A received access unit for a software decoder: Annex-B ("Video access unit is not in Annex-B
// form"), each SPS readable ("Video access unit carries an unreadable parameter set") and inside
// the frame envelope ("Decoded dimensions exceed the H.264 Level 5.2 frame envelope"). Returns the
// size of the last SPS, if the unit carries one.
std::optional<CodedSize> checkReceivedAccessUnit(VideoCodec codec, std::span<const std::uint8_t> accessUnit);

}  // namespace murel
