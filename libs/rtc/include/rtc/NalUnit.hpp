#pragma once
// NAL unit framing of H.264/H.265 access units: Annex-B start codes or 4-byte length prefixes.

#include "rtc/Message.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace rtc {

struct NalUnit {
    enum class Separator {
        Length,              // each unit preceded by its size as 4 bytes, big-endian
        LongStartSequence,   // 00 00 00 01 only
        ShortStartSequence,  // 00 00 01 only
        StartSequence,       // either (a zero before 00 00 01 belongs to the start code)
    };

    // Splits an access unit into its NAL units (without separators). Bytes before the first start
    // code and empty units are skipped; with Length framing a size running past the end ends the
    // walk (the complete units before it are kept).
    static std::vector<std::span<const std::byte>> split(std::span<const std::byte> accessUnit,
                                                         Separator separator);

    // Appends the separator that precedes a unit of `size` bytes in this framing: Length the
    // size; StartSequence and LongStartSequence 00 00 00 01; ShortStartSequence 00 00 01.
    static void appendSeparator(binary& out, Separator separator, std::size_t size);
};

}  // namespace rtc
