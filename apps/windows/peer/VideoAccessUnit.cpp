#include "peer/VideoAccessUnit.hpp"

#include <cstdint>
#include <optional>

namespace murel {
namespace {

uint8_t at(std::span<const std::byte> bytes, std::size_t i) { return std::to_integer<uint8_t>(bytes[i]); }

// The NAL units of an Annex-B unit. Each runs from after a 00 00 01 to the next start code (a zero
// right before 00 00 01 belongs to that start code).
class NalWalker {
public:
    explicit NalWalker(std::span<const std::byte> unit) : unit_(unit) {
        const auto first = findStart(0);
        if (!first) return;
        for (std::size_t i = 0; i < *first; ++i)
            if (at(unit_, i) != 0) return;  // garbage before the first start code
        next_ = *first + 3;
        wellFormed_ = true;
    }

    // False when the unit has no start code or non-zero bytes before the first one.
    bool wellFormed() const { return wellFormed_; }

    std::optional<std::span<const std::byte>> next() {
        if (!wellFormed_ || next_ > unit_.size()) return std::nullopt;
        const std::size_t begin = next_;
        const auto start = findStart(begin);
        std::size_t end = unit_.size();
        if (start) {
            end = *start;
            if (end > begin && at(unit_, end - 1) == 0) --end;
            next_ = *start + 3;
        } else {
            next_ = unit_.size() + 1;
        }
        return unit_.subspan(begin, end - begin);
    }

private:
    std::optional<std::size_t> findStart(std::size_t from) const {
        for (std::size_t i = from; i + 3 <= unit_.size(); ++i) {
            if (at(unit_, i + 2) > 1) {
                i += 2;  // no start code can begin at i, i+1 or i+2
                continue;
            }
            if (at(unit_, i) == 0 && at(unit_, i + 1) == 0 && at(unit_, i + 2) == 1) return i;
        }
        return std::nullopt;
    }

    std::span<const std::byte> unit_;
    std::size_t next_ = 0;
    bool wellFormed_ = false;
};

}  // namespace

bool isH264Keyframe(std::span<const std::byte> accessUnit) {
    NalWalker walker(accessUnit);
    if (!walker.wellFormed()) return false;
    bool sps = false, pps = false, idr = false;
    while (auto nal = walker.next()) {
        if (nal->size() < 2 || (at(*nal, 0) & 0x80)) return false;
        const uint8_t type = at(*nal, 0) & 0x1F;
        if (type <= 4 || type >= 24) return false;
        if (type == 7) {
            if (idr) return false;
            sps = true;
        } else if (type == 8) {
            if (idr || !sps) return false;
            pps = true;
        } else if (type == 5) {
            if (!sps || !pps) return false;
            idr = true;
        }
    }
    return idr;
}

bool containsH264Idr(std::span<const std::byte> accessUnit) {
    NalWalker walker(accessUnit);
    while (auto nal = walker.next())
        if (!nal->empty() && (at(*nal, 0) & 0x1F) == 5) return true;
    return false;
}

HevcAccessUnit analyseHevcAccessUnit(std::span<const std::byte> accessUnit) {
    NalWalker walker(accessUnit);
    if (!walker.wellFormed()) return {};
    bool vps = false, sps = false, pps = false, slice = false;
    HevcAccessUnit result;
    while (auto nal = walker.next()) {
        if (nal->size() < 3) return {};
        const uint8_t b0 = at(*nal, 0), b1 = at(*nal, 1);
        const unsigned layerId = unsigned(b0 & 0x01) << 5 | unsigned(b1 >> 3);
        if ((b0 & 0x80) || layerId != 0 || (b1 & 0x07) == 0) return {};
        const uint8_t type = (b0 >> 1) & 0x3F;
        if (type >= 41) return {};
        if (type == 32) {
            if (slice) return {};
            vps = true;
        } else if (type == 33) {
            if (slice || !vps) return {};
            sps = true;
        } else if (type == 34) {
            if (slice || !sps) return {};
            pps = true;
        } else if (type <= 31) {
            const bool irap = type >= 16 && type <= 21;
            if (!slice) {
                result.keyframe = irap && vps && sps && pps && (at(*nal, 2) & 0x80);
                slice = true;
            } else if (!irap) {
                result.keyframe = false;
            }
            if (type == 8 || type == 9) result.hasRasl = true;
        }
    }
    result.valid = slice;
    if (!result.valid) return {};
    return result;
}

}  // namespace murel
