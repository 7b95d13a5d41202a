#pragma once
// Small stand-ins for the media backends' pieces the shared rules work on.

#include <cstdint>
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
    void se(std::int64_t value) { ue(value > 0 ? static_cast<std::uint64_t>(2 * value - 1) : static_cast<std::uint64_t>(-2 * value)); }
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

}  // namespace murel::test
