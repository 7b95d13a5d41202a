#include "media/AnnexB.hpp"

#include "media/MediaError.hpp"
#include "media/VideoEnvelope.hpp"

namespace murel {
namespace {

// Reads the RBSP of one NAL unit bit by bit, dropping emulation-prevention bytes (00 00 03) on the
// way. Any read past the end marks the reader failed and yields zeros.
class RbspReader {
public:
    explicit RbspReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool failed() const { return failed_; }
    void fail() { failed_ = true; }

    std::uint32_t bits(int count) {
        std::uint32_t value = 0;
        for (int i = 0; i < count; ++i) value = (value << 1) | bit();
        return value;
    }

    void skip(int count) {
        for (int i = 0; i < count; ++i) bit();
    }

    // Unsigned Exp-Golomb; values beyond 32 bits fail.
    std::uint64_t ue() {
        int zeros = 0;
        while (bit() == 0) {
            if (failed_ || ++zeros > 32) {
                failed_ = true;
                return 0;
            }
        }
        std::uint64_t value = (std::uint64_t{1} << zeros) - 1;
        std::uint64_t suffix = 0;
        for (int i = 0; i < zeros; ++i) suffix = (suffix << 1) | bit();
        return failed_ ? 0 : value + suffix;
    }

    std::int64_t se() {
        const std::uint64_t code = ue();
        return (code & 1) != 0 ? static_cast<std::int64_t>((code + 1) / 2) : -static_cast<std::int64_t>(code / 2);
    }

    // ue() that must not exceed limit.
    std::uint64_t ueAtMost(std::uint64_t limit) {
        const std::uint64_t value = ue();
        if (value > limit) failed_ = true;
        return value;
    }

private:
    std::uint32_t bit() {
        if (bitInByte_ == 8) {
            if (!nextByte()) {
                failed_ = true;
                return 0;
            }
        }
        const std::uint32_t value = (current_ >> (7 - bitInByte_)) & 1;
        ++bitInByte_;
        return value;
    }

    bool nextByte() {
        if (position_ < bytes_.size() && zeros_ >= 2 && bytes_[position_] == 3) {
            ++position_;
            zeros_ = 0;
        }
        if (position_ >= bytes_.size()) return false;
        current_ = bytes_[position_++];
        zeros_ = current_ == 0 ? zeros_ + 1 : 0;
        bitInByte_ = 0;
        return true;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
    int zeros_ = 0;
    std::uint8_t current_ = 0;
    int bitInByte_ = 8;
    bool failed_ = false;
};

bool isHighProfile(std::uint32_t profile) {
    switch (profile) {
        case 100: case 110: case 122: case 244: case 44: case 83:
        case 86: case 118: case 128: case 138: case 139: case 134: case 135:
            return true;
        default:
            return false;
    }
}

void skipScalingList(RbspReader& reader, int size) {
    std::int64_t last = 8;
    std::int64_t next = 8;
    for (int j = 0; j < size && !reader.failed(); ++j) {
        if (next != 0) {
            const std::int64_t delta = reader.se();
            if (delta < -128 || delta > 127) {
                reader.fail();
                return;
            }
            next = (last + delta + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
}

std::optional<CodedSize> sizeIfRead(const RbspReader& reader, std::uint64_t width, std::uint64_t height) {
    if (reader.failed() || width == 0 || height == 0 || width > 0xFFFFFFFFu || height > 0xFFFFFFFFu) {
        return std::nullopt;
    }
    return CodedSize{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)};
}

}  // namespace

bool startsWithStartCode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() >= 3 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 1) return true;
    return bytes.size() >= 4 && bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 1;
}

void forEachNalUnit(std::span<const std::uint8_t> accessUnit,
                    const std::function<bool(std::span<const std::uint8_t> nal)>& visit) {
    const std::size_t size = accessUnit.size();
    // Index just past the next 00 00 01 at or after from; size when there is none.
    const auto nextStart = [&](std::size_t from, std::size_t& codeAt) {
        for (std::size_t i = from; i + 2 < size; ++i) {
            if (accessUnit[i + 2] > 1) {
                i += 2;  // no start code can begin at i, i + 1 or i + 2
                continue;
            }
            if (accessUnit[i] == 0 && accessUnit[i + 1] == 0 && accessUnit[i + 2] == 1) {
                codeAt = i;
                return i + 3;
            }
        }
        codeAt = size;
        return size;
    };

    std::size_t codeAt = 0;
    std::size_t begin = nextStart(0, codeAt);
    while (begin < size) {
        std::size_t nextCode = size;
        const std::size_t nextBegin = nextStart(begin, nextCode);
        std::size_t end = nextCode;
        while (end > begin && accessUnit[end - 1] == 0) --end;
        if (end > begin && !visit(accessUnit.subspan(begin, end - begin))) return;
        begin = nextBegin;
    }
}

int nalUnitType(VideoCodec codec, std::span<const std::uint8_t> nal) {
    if (codec == VideoCodec::H264) {
        if (nal.empty() || (nal[0] & 0x80) != 0) return -1;
        return nal[0] & 0x1f;
    }
    if (nal.size() < 2 || (nal[0] & 0x80) != 0) return -1;
    return (nal[0] >> 1) & 0x3f;
}

std::optional<CodedSize> parseH264SpsSize(std::span<const std::uint8_t> nal) {
    if (nalUnitType(VideoCodec::H264, nal) != kH264NalSps) return std::nullopt;
    RbspReader reader(nal.subspan(1));
    const std::uint32_t profile = reader.bits(8);
    reader.skip(16);  // constraint flags, level_idc
    reader.ueAtMost(31);  // seq_parameter_set_id
    if (isHighProfile(profile)) {
        const std::uint64_t chromaFormat = reader.ueAtMost(3);
        if (chromaFormat == 3) reader.skip(1);  // separate_colour_plane_flag
        reader.ueAtMost(6);  // bit_depth_luma_minus8
        reader.ueAtMost(6);  // bit_depth_chroma_minus8
        reader.skip(1);  // qpprime_y_zero_transform_bypass_flag
        if (reader.bits(1) != 0) {  // seq_scaling_matrix_present_flag
            const int lists = chromaFormat != 3 ? 8 : 12;
            for (int i = 0; i < lists && !reader.failed(); ++i) {
                if (reader.bits(1) != 0) skipScalingList(reader, i < 6 ? 16 : 64);
            }
        }
    }
    reader.ueAtMost(12);  // log2_max_frame_num_minus4
    const std::uint64_t pocType = reader.ueAtMost(2);
    if (pocType == 0) {
        reader.ueAtMost(12);  // log2_max_pic_order_cnt_lsb_minus4
    } else if (pocType == 1) {
        reader.skip(1);  // delta_pic_order_always_zero_flag
        reader.se();     // offset_for_non_ref_pic
        reader.se();     // offset_for_top_to_bottom_field
        const std::uint64_t cycle = reader.ueAtMost(255);
        for (std::uint64_t i = 0; i < cycle && !reader.failed(); ++i) reader.se();
    }
    reader.ue();      // max_num_ref_frames
    reader.skip(1);   // gaps_in_frame_num_value_allowed_flag
    const std::uint64_t widthMbs = reader.ue() + 1;
    const std::uint64_t heightMapUnits = reader.ue() + 1;
    const std::uint64_t frameMbsOnly = reader.bits(1);
    return sizeIfRead(reader, widthMbs * 16, (2 - frameMbsOnly) * heightMapUnits * 16);
}

std::optional<CodedSize> parseHevcSpsSize(std::span<const std::uint8_t> nal) {
    if (nalUnitType(VideoCodec::Hevc, nal) != kHevcNalSps) return std::nullopt;
    RbspReader reader(nal.subspan(2));
    reader.skip(4);  // sps_video_parameter_set_id
    const std::uint32_t subLayers = reader.bits(3);  // sps_max_sub_layers_minus1
    if (subLayers > 6) return std::nullopt;
    reader.skip(1);  // sps_temporal_id_nesting_flag
    // profile_tier_level: the general part, then the sub-layer flags and parts.
    reader.skip(96);
    bool profilePresent[8] = {};
    bool levelPresent[8] = {};
    for (std::uint32_t i = 0; i < subLayers; ++i) {
        profilePresent[i] = reader.bits(1) != 0;
        levelPresent[i] = reader.bits(1) != 0;
    }
    if (subLayers > 0) reader.skip(2 * static_cast<int>(8 - subLayers));
    for (std::uint32_t i = 0; i < subLayers; ++i) {
        if (profilePresent[i]) reader.skip(88);
        if (levelPresent[i]) reader.skip(8);
    }
    reader.ueAtMost(15);  // sps_seq_parameter_set_id
    if (reader.ueAtMost(3) == 3) reader.skip(1);  // chroma_format_idc, separate_colour_plane_flag
    const std::uint64_t width = reader.ue();
    const std::uint64_t height = reader.ue();
    return sizeIfRead(reader, width, height);
}

std::optional<CodedSize> checkReceivedAccessUnit(VideoCodec codec, std::span<const std::uint8_t> accessUnit) {
    throwUnless(startsWithStartCode(accessUnit), media_text::kAccessUnitNotAnnexB);
    const int spsType = codec == VideoCodec::H264 ? kH264NalSps : kHevcNalSps;
    std::optional<CodedSize> last;
    forEachNalUnit(accessUnit, [&](std::span<const std::uint8_t> nal) {
        if (nalUnitType(codec, nal) != spsType) return true;
        const std::optional<CodedSize> size =
            codec == VideoCodec::H264 ? parseH264SpsSize(nal) : parseHevcSpsSize(nal);
        throwUnless(size.has_value(), media_text::kParameterSetUnreadable);
        checkFrameEnvelope(size->width, size->height);
        last = size;
        return true;
    });
    return last;
}

}  // namespace murel
