#include "rtc/NalUnit.hpp"

#include "common/ByteOrder.hpp"

#include <cstring>

namespace rtc {

std::vector<std::span<const std::byte>> NalUnit::split(std::span<const std::byte> au, Separator separator) {
    std::vector<std::span<const std::byte>> units;
    const std::size_t size = au.size();
    const auto* p = reinterpret_cast<const uint8_t*>(au.data());

    if (separator == Separator::Length) {
        std::size_t at = 0;
        while (size - at >= 4) {
            const std::size_t length = impl::readU32(p + at);
            at += 4;
            if (length > size - at) break;
            if (length > 0) units.push_back(au.subspan(at, length));
            at += length;
        }
        return units;
    }

    // Start codes are found from their 01 byte: memchr runs far faster than a byte loop, and a
    // 01 byte is rare in coded slice data.
    std::size_t unitStart = 0;
    bool inUnit = false;
    std::size_t search = 2;
    while (search < size) {
        const void* hit = std::memchr(p + search, 1, size - search);
        if (!hit) break;
        const std::size_t one = static_cast<const uint8_t*>(hit) - p;
        search = one + 1;
        if (p[one - 1] != 0 || p[one - 2] != 0) continue;
        std::size_t codeStart = one - 2;
        const bool fourBytes = one >= 3 && p[one - 3] == 0;
        if (separator == Separator::LongStartSequence) {
            if (!fourBytes) continue;
            codeStart = one - 3;
        } else if (separator == Separator::StartSequence && fourBytes) {
            codeStart = one - 3;
        }
        if (inUnit && codeStart < unitStart) continue;  // overlaps the previous start code
        if (inUnit && codeStart > unitStart) units.push_back(au.subspan(unitStart, codeStart - unitStart));
        unitStart = one + 1;
        inUnit = true;
        search = one + 3;  // the next start code's 01 cannot come sooner
    }
    if (inUnit && unitStart < size) units.push_back(au.subspan(unitStart, size - unitStart));
    return units;
}

void NalUnit::appendSeparator(binary& out, Separator separator, std::size_t size) {
    switch (separator) {
    case Separator::Length:
        impl::appendU32(out, uint32_t(size));
        break;
    case Separator::ShortStartSequence:
        out.insert(out.end(), {std::byte{0}, std::byte{0}, std::byte{1}});
        break;
    case Separator::LongStartSequence:
    case Separator::StartSequence:
        out.insert(out.end(), {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{1}});
        break;
    }
}

}  // namespace rtc
