#pragma once
// Writes NAL units into an access unit with the chosen separator, where a unit may be written in
// pieces (fragmentation units) and abandoned halfway.

#include "rtc/Message.hpp"
#include "common/ByteOrder.hpp"
#include "rtc/NalUnit.hpp"

#include <cstddef>
#include <span>

namespace rtc::impl {

class AccessUnitWriter {
public:
    explicit AccessUnitWriter(NalUnit::Separator separator) : mSeparator(separator) {}

    void reserve(std::size_t size) { mOut.reserve(size); }

    void whole(std::span<const std::byte> unit) {
        begin();
        mOut.insert(mOut.end(), unit.begin(), unit.end());
        end();
    }

    // A unit written in pieces: begin, append..., end (or abandon).
    void begin() {
        mUnitStart = mOut.size();
        NalUnit::appendSeparator(mOut, mSeparator, 0);
        mOpen = true;
    }
    void append(std::span<const std::byte> piece) { mOut.insert(mOut.end(), piece.begin(), piece.end()); }
    void append(std::byte b) { mOut.push_back(b); }
    void end() {
        if (!mOpen) return;
        if (mSeparator == NalUnit::Separator::Length) {
            const std::size_t size = mOut.size() - mUnitStart - 4;
            writeU32(mOut.data() + mUnitStart, uint32_t(size));
        }
        mOpen = false;
    }
    void abandon() {
        if (!mOpen) return;
        mOut.resize(mUnitStart);
        mOpen = false;
    }
    bool open() const { return mOpen; }

    binary take() {
        abandon();
        return std::move(mOut);
    }

private:
    const NalUnit::Separator mSeparator;
    binary mOut;
    std::size_t mUnitStart = 0;
    bool mOpen = false;
};

}  // namespace rtc::impl
