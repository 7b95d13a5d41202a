#pragma once
// Small stand-ins for the media backends' pieces the shared rules work on.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "media/MediaTypes.hpp"
#include "protocol/Wire.hpp"

namespace murel::test {

class FakePicture final : public Picture {
public:
    FakePicture(PixelFormat format, std::uint32_t width, std::uint32_t height, std::uint32_t arraySize = 1)
        : description_{format, width, height, arraySize} {}
    PictureDescription describe() const override { return description_; }

private:
    PictureDescription description_;
};

inline PictureHandle fakePicture(PixelFormat format, std::uint32_t width, std::uint32_t height,
                                 std::uint32_t arraySize = 1) {
    return std::make_shared<FakePicture>(format, width, height, arraySize);
}

struct Rgb {
    int r = 0;
    int g = 0;
    int b = 0;
};

// Every channel within tolerance.
inline bool near(Rgb a, Rgb b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

// The text of the ProtocolError that call throws; empty when it throws nothing.
template <class Call>
std::string failureOf(Call&& call) {
    try {
        call();
    } catch (const ProtocolError& error) {
        return error.what();
    }
    return {};
}

// Writes bits MSB first, with Exp-Golomb codes, and wraps them as a NAL unit with emulation
// prevention, to build parameter sets (including hostile ones) for the bitstream checks.
class BitWriter {
public:
    void bits(std::uint64_t value, int count) {
        for (int i = count - 1; i >= 0; --i) bit(static_cast<int>((value >> i) & 1));
    }
    void ue(std::uint64_t value) {
        const std::uint64_t code = value + 1;
        int length = 0;
        while ((code >> length) > 1) ++length;
        bits(0, length);
        bits(code, length + 1);
    }
    void se(std::int64_t value) {
        ue(value > 0 ? static_cast<std::uint64_t>(2 * value - 1) : static_cast<std::uint64_t>(-2 * value));
    }
    // rbsp_trailing_bits, then the header bytes, payload with emulation prevention, start code.
    std::vector<std::uint8_t> nal(std::vector<std::uint8_t> header, bool startCode = true) {
        bit(1);
        while (bitCount_ % 8 != 0) bit(0);
        std::vector<std::uint8_t> out;
        if (startCode) out = {0, 0, 0, 1};
        for (std::uint8_t byte : header) out.push_back(byte);
        int zeros = 0;
        for (std::uint8_t byte : bytes_) {
            if (zeros >= 2 && byte <= 3) {
                out.push_back(3);
                zeros = 0;
            }
            out.push_back(byte);
            zeros = byte == 0 ? zeros + 1 : 0;
        }
        return out;
    }

private:
    void bit(int value) {
        if (bitCount_ % 8 == 0) bytes_.push_back(0);
        if (value != 0) bytes_.back() |= static_cast<std::uint8_t>(0x80 >> (bitCount_ % 8));
        ++bitCount_;
    }
    std::vector<std::uint8_t> bytes_;
    std::size_t bitCount_ = 0;
};

// Parameter sets written field by field, to test the bitstream checks with valid and hostile ones.
struct H264Sps {
    std::uint32_t profile = 66;
    std::uint64_t widthMbs = 20;
    std::uint64_t heightMapUnits = 12;
    bool frameMbsOnly = true;
    int pocType = 2;
    int pocCycle = 0;
    bool scalingLists = false;
    int chromaFormat = 1;
};

inline std::vector<std::uint8_t> h264Sps(const H264Sps& p) {
    BitWriter w;
    w.bits(p.profile, 8);
    w.bits(0, 8);
    w.bits(40, 8);
    w.ue(0);
    if (p.profile == 100) {
        w.ue(p.chromaFormat);
        if (p.chromaFormat == 3) w.bits(0, 1);
        w.ue(0);
        w.ue(0);
        w.bits(0, 1);
        w.bits(p.scalingLists ? 1 : 0, 1);
        if (p.scalingLists) {
            const int lists = p.chromaFormat != 3 ? 8 : 12;
            for (int i = 0; i < lists; ++i) {
                w.bits(1, 1);
                const int size = i < 6 ? 16 : 64;
                // A ramp of deltas, then a jump to 0 that ends the list early for odd lists.
                for (int j = 0; j < size; ++j) {
                    if (i % 2 == 1 && j == 5) {
                        w.se(-8 - 5);  // next = 0: the rest repeats the last value
                        break;
                    }
                    w.se(1);
                }
            }
        }
    }
    w.ue(0);  // log2_max_frame_num_minus4
    w.ue(p.pocType);
    if (p.pocType == 0) w.ue(4);
    if (p.pocType == 1) {
        w.bits(0, 1);
        w.se(-3);
        w.se(7);
        w.ue(p.pocCycle);
        for (int i = 0; i < p.pocCycle; ++i) w.se(i - 100);
    }
    w.ue(1);
    w.bits(0, 1);
    w.ue(p.widthMbs - 1);
    w.ue(p.heightMapUnits - 1);
    w.bits(p.frameMbsOnly ? 1 : 0, 1);
    if (!p.frameMbsOnly) w.bits(0, 1);  // mb_adaptive_frame_field_flag
    w.bits(1, 1);                       // direct_8x8_inference_flag
    w.bits(0, 1);                       // frame_cropping_flag
    w.bits(0, 1);                       // vui_parameters_present_flag
    return w.nal({0x67});
}

inline std::vector<std::uint8_t> hevcSps(std::uint64_t width, std::uint64_t height, int subLayers = 0) {
    BitWriter w;
    w.bits(0, 4);
    w.bits(subLayers, 3);
    w.bits(1, 1);
    // general profile_tier_level: space, tier, profile Main, compatibility, flags, level 93.
    w.bits(0, 2);
    w.bits(0, 1);
    w.bits(1, 5);
    w.bits(0x60000000, 32);
    w.bits(0x9, 4);
    w.bits(0, 43);
    w.bits(0, 1);
    w.bits(93, 8);
    for (int i = 0; i < subLayers; ++i) {
        w.bits(1, 1);
        w.bits(1, 1);
    }
    if (subLayers > 0) w.bits(0, 2 * (8 - subLayers));
    for (int i = 0; i < subLayers; ++i) {
        w.bits(0x123456789ABull, 44);
        w.bits(0x123456789ABull, 44);
        w.bits(90, 8);
    }
    w.ue(0);
    w.ue(1);
    w.ue(width);
    w.ue(height);
    w.bits(0, 1);  // conformance_window_flag
    return w.nal({0x42, 0x01});
}

}  // namespace murel::test
