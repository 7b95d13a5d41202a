#pragma once
// Checks on Annex-B access units (NAL units after 3- or 4-byte start codes): whether an H.264 unit
// starts a decodable picture on its own, and what an HEVC unit holds.

#include <cstddef>
#include <span>

namespace murel {

// True for a unit whose NAL units are SPS, PPS (after an SPS) and an IDR slice, in that order,
// with nothing but SEI, delimiters or other non-slice units between them and no other slice.
// Leading bytes before the first start code must be zero.
bool isH264Keyframe(std::span<const std::byte> accessUnit);

// True when any NAL unit of the unit is an IDR slice (type 5). The sender's looser test: an
// encoder may send its parameter sets only once.
bool containsH264Idr(std::span<const std::byte> accessUnit);

struct HevcAccessUnit {
    bool valid = false;     // well-formed, with at least one picture slice
    bool keyframe = false;  // VPS, SPS, PPS, then an IRAP picture starting with its first slice
    bool hasRasl = false;   // a RASL slice, undecodable after a random access
};

HevcAccessUnit analyseHevcAccessUnit(std::span<const std::byte> accessUnit);

}  // namespace murel
