#include "FfmpegMedia.hpp"

#include <array>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "media/AnnexB.hpp"
#include "media/MediaError.hpp"
#include "media/VideoEnvelope.hpp"

namespace murel {
namespace {

// Owners of FFmpeg objects.
struct CodecContextFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct SwsFree {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;
using Scaler = std::unique_ptr<SwsContext, SwsFree>;

constexpr std::size_t kMaxQueued = 8;
constexpr AVRational kHundredNanoseconds{1, 10000000};

[[noreturn]] void throwFfmpeg(const char* step, int error) {
    throw ProtocolError(libraryFailureText(step, "FFmpeg", error));
}

template <class T>
T* checkAllocated(T* object) {
    if (object == nullptr) throw std::bad_alloc();
    return object;
}

AVPixelFormat avFormat(PixelFormat format) {
    switch (format) {
        case PixelFormat::Bgra:
            return AV_PIX_FMT_BGRA;
        case PixelFormat::Nv12:
            return AV_PIX_FMT_NV12;
        case PixelFormat::I420:
            return AV_PIX_FMT_YUV420P;
        default:
            return AV_PIX_FMT_NONE;
    }
}

bool isYuv(PixelFormat format) { return format == PixelFormat::Nv12 || format == PixelFormat::I420; }

struct PlaneArrays {
    std::uint8_t* data[4] = {};
    int stride[4] = {};
};

PlaneArrays planesOf(const CpuPicture& picture) {
    PlaneArrays planes;
    for (int i = 0; i < picture.planeCount(); ++i) {
        planes.data[i] = picture.plane(i).data;
        planes.stride[i] = static_cast<int>(picture.plane(i).stride);
    }
    return planes;
}

class SwsVideoConverter final : public VideoConverter {
protected:
    PictureHandle convertPicture(const Picture& input, const ConversionShape& shape) override {
        const CpuPicture& source = cpuPicture(input);
        const ConversionKey& key = shape.key;
        if (!scaler_ || !(key == key_)) {
            // Build the new scaler aside: a failure keeps the cached one.
            const AVPixelFormat from = avFormat(key.inputFormat);
            const AVPixelFormat to = avFormat(key.outputFormat);
            throwUnless(from != AV_PIX_FMT_NONE && sws_isSupportedInput(from) != 0,
                        media_text::kConversionInputUnsupported);
            throwUnless(to != AV_PIX_FMT_NONE && sws_isSupportedOutput(to) != 0,
                        media_text::kConversionOutputUnsupported);
            Scaler scaler(sws_getContext(static_cast<int>(key.visibleWidth), static_cast<int>(key.visibleHeight), from,
                                         static_cast<int>(key.targetWidth), static_cast<int>(key.targetHeight), to,
                                         SWS_BILINEAR, nullptr, nullptr, nullptr));
            if (!scaler) throw ProtocolError("Create video converter failed");
            if (isYuv(key.inputFormat) || isYuv(key.outputFormat)) {
                const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
                if (sws_setColorspaceDetails(scaler.get(), bt709, isYuv(key.inputFormat) ? 0 : 1, bt709,
                                             isYuv(key.outputFormat) ? 0 : 1, 0, 1 << 16, 1 << 16) < 0) {
                    throw ProtocolError("Set video converter colour space failed");
                }
            }
            scaler_ = std::move(scaler);
            key_ = key;
        }

        std::shared_ptr<CpuPicture> output = CpuPicture::allocate(key.outputFormat, key.targetWidth, key.targetHeight);
        const PlaneArrays in = planesOf(source);
        const PlaneArrays out = planesOf(*output);
        const int rows = sws_scale(scaler_.get(), in.data, in.stride, 0, static_cast<int>(key.visibleHeight), out.data,
                                   out.stride);
        if (rows <= 0) throwFfmpeg("Convert video picture", rows);
        return output;
    }

private:
    Scaler scaler_;
    ConversionKey key_;
};

// A buffer reference over a picture's memory that keeps the picture alive while libavcodec holds it.
AVBufferRef* referencePicture(const CpuPicture& picture) {
    auto* holder = new std::shared_ptr<const Picture>(picture.shared_from_this());
    AVBufferRef* buffer = av_buffer_create(
        picture.plane(0).data, 1,
        [](void* opaque, std::uint8_t*) { delete static_cast<std::shared_ptr<const Picture>*>(opaque); }, holder, 0);
    if (buffer == nullptr) {
        delete holder;
        throw std::bad_alloc();
    }
    return buffer;
}

class X264Encoder final : public HardwareH264Encoder {
public:
    X264Encoder(const EncoderMode& mode, const X264Options& options) : HardwareH264Encoder(mode) {
        quietFfmpegLog();
        const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
        throwUnless(codec != nullptr, "libx264 is not available in this FFmpeg build");
        context_.reset(checkAllocated(avcodec_alloc_context3(codec)));
        AVCodecContext& c = *context_;
        c.width = static_cast<int>(mode.width);
        c.height = static_cast<int>(mode.height);
        c.pix_fmt = AV_PIX_FMT_NV12;
        c.time_base = kHundredNanoseconds;
        // Without the frame rate x264 would take the time base's for its rate control.
        c.framerate = {static_cast<int>(mode.fps), 1};
        c.gop_size = static_cast<int>(2 * mode.fps);
        c.max_b_frames = 0;
        c.bit_rate = mode.bitrate;
        c.rc_max_rate = mode.bitrate;
        c.rc_buffer_size = static_cast<int>(mode.bitrate);
        c.level = level();
        c.thread_count = options.threads;
        c.color_primaries = AVCOL_PRI_BT709;
        c.color_trc = AVCOL_TRC_BT709;
        c.colorspace = AVCOL_SPC_BT709;
        c.color_range = AVCOL_RANGE_MPEG;

        AVDictionary* settings = nullptr;
        av_dict_set(&settings, "preset", options.preset.c_str(), 0);
        av_dict_set(&settings, "tune", "zerolatency", 0);
        av_dict_set(&settings, "profile", "baseline", 0);
        av_dict_set(&settings, "forced-idr", "1", 0);
        const int opened = avcodec_open2(context_.get(), codec, &settings);
        av_dict_free(&settings);
        if (opened < 0) throwFfmpeg("Open H.264 encoder", opened);

        frame_.reset(checkAllocated(av_frame_alloc()));
        packet_.reset(checkAllocated(av_packet_alloc()));
    }

    std::vector<EncodedAccessUnit> encodedUnits() override {
        std::vector<EncodedAccessUnit> units(std::make_move_iterator(queue_.begin()),
                                             std::make_move_iterator(queue_.end()));
        queue_.clear();
        return units;
    }

    void requestKeyframe() override { keyframeRequested_ = true; }

protected:
    bool submitPicture(const Picture& picture, std::int64_t timestamp) override {
        const CpuPicture& source = cpuPicture(picture);
        // The caller takes the units every pass; a full queue means it does not, so refuse.
        if (queue_.size() >= kMaxQueued) return false;

        AVFrame& f = *frame_;
        f.format = AV_PIX_FMT_NV12;
        f.width = static_cast<int>(source.width());
        f.height = static_cast<int>(source.height());
        for (int i = 0; i < 2; ++i) {
            f.data[i] = source.plane(i).data;
            f.linesize[i] = static_cast<int>(source.plane(i).stride);
        }
        f.buf[0] = referencePicture(source);
        f.pts = timestamp;
        f.pict_type = keyframeRequested_ ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        const int sent = avcodec_send_frame(context_.get(), frame_.get());
        av_frame_unref(frame_.get());
        if (sent == AVERROR(EAGAIN)) {
            drain();
            return false;
        }
        if (sent < 0) throwFfmpeg("Encode video picture", sent);
        keyframeRequested_ = false;
        drain();
        return true;
    }

private:
    void drain() {
        for (;;) {
            const int received = avcodec_receive_packet(context_.get(), packet_.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return;
            if (received < 0) throwFfmpeg("Read encoded access unit", received);
            const std::span<const std::uint8_t> bytes(packet_->data, static_cast<std::size_t>(packet_->size));
            EncodedAccessUnit unit;
            try {
                checkEncodedAccessUnit(bytes);
                unit.bytes.assign(bytes.begin(), bytes.end());
            } catch (...) {
                av_packet_unref(packet_.get());
                throw;
            }
            unit.timestamp = packet_->pts;
            av_packet_unref(packet_.get());
            throwUnless(queue_.size() < kMaxQueued, "Codec output queue is full");
            queue_.push_back(std::move(unit));
        }
    }

    CodecContext context_;
    Frame frame_;
    Packet packet_;
    std::deque<EncodedAccessUnit> queue_;
    bool keyframeRequested_ = false;
};

class AvVideoDecoder final : public VideoDecoder {
public:
    AvVideoDecoder(VideoCodec codec, std::uint32_t width, std::uint32_t height, std::uint32_t fps, int threads)
        : VideoDecoder(codec, width, height, fps) {
        quietFfmpegLog();
        const AVCodec* decoder = avcodec_find_decoder(codec == VideoCodec::H264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
        if (decoder == nullptr) {
            throw ProtocolError(codec == VideoCodec::Hevc ? media_text::kHevcUnavailable
                                                          : "No H.264 decoder in this FFmpeg build");
        }
        context_.reset(checkAllocated(avcodec_alloc_context3(decoder)));
        AVCodecContext& c = *context_;
        c.flags |= AV_CODEC_FLAG_LOW_DELAY;
        c.thread_type = FF_THREAD_SLICE;
        c.thread_count = threads;
        // libavcodec's own cap, behind the parameter-set check of every unit.
        c.max_pixels = static_cast<std::int64_t>(kMaxFrameMacroblocks) * 256;
        c.pkt_timebase = kHundredNanoseconds;
        const int opened = avcodec_open2(context_.get(), decoder, nullptr);
        if (opened < 0) throwFfmpeg("Open video decoder", opened);
        packet_.reset(checkAllocated(av_packet_alloc()));
    }

    std::vector<DecodedFrame> decodedFrames() override {
        pull();
        std::vector<DecodedFrame> frames(std::make_move_iterator(queue_.begin()),
                                         std::make_move_iterator(queue_.end()));
        queue_.clear();
        return frames;
    }

protected:
    bool submitAccessUnit(std::span<const std::uint8_t> unit, std::int64_t timestamp) override {
        // Parameter sets come from the other peer: refuse a huge or unreadable one before libavcodec
        // allocates anything for it.
        checkReceivedAccessUnit(codec(), unit);
        pull();
        if (queue_.size() >= kMaxQueued) return false;

        // Not reference-counted: libavcodec copies the bytes into a padded buffer of its own.
        packet_->data = const_cast<std::uint8_t*>(unit.data());
        packet_->size = static_cast<int>(unit.size());
        packet_->pts = timestamp;
        packet_->dts = timestamp;
        int sent = avcodec_send_packet(context_.get(), packet_.get());
        if (sent == AVERROR(EAGAIN)) {
            pull();
            sent = queue_.size() < kMaxQueued ? avcodec_send_packet(context_.get(), packet_.get()) : sent;
        }
        packet_->data = nullptr;
        packet_->size = 0;
        if (sent == AVERROR(EAGAIN)) return false;
        if (sent < 0) throwFfmpeg("Decode video access unit", sent);
        pull();
        return true;
    }

private:
    void pull() {
        while (queue_.size() < kMaxQueued) {
            Frame frame(checkAllocated(av_frame_alloc()));
            const int received = avcodec_receive_frame(context_.get(), frame.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return;
            if (received < 0) throwFfmpeg("Read decoded picture", received);
            queue_.push_back(toDecodedFrame(std::move(frame)));
        }
    }

    static DecodedFrame toDecodedFrame(Frame frame) {
        PixelFormat format = PixelFormat::Unknown;
        switch (frame->format) {
            case AV_PIX_FMT_YUV420P:
            case AV_PIX_FMT_YUVJ420P:
                format = PixelFormat::I420;
                break;
            case AV_PIX_FMT_NV12:
                format = PixelFormat::Nv12;
                break;
            default:
                throw ProtocolError("Decoder did not return 8-bit 4:2:0 video");
        }
        const auto width = static_cast<std::uint32_t>(frame->width);
        const auto height = static_cast<std::uint32_t>(frame->height);
        const VisibleSize visible = checkDecodedSurface({format, width, height, 1, 1, 0}, {}, format);

        std::array<CpuPicture::Plane, 3> planes{};
        for (int i = 0; i < 3; ++i) {
            planes[static_cast<std::size_t>(i)] = {frame->data[i], frame->linesize[i]};
        }
        const std::int64_t pts =
            frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
        DecodedFrame decoded;
        decoded.width = visible.width;
        decoded.height = visible.height;
        decoded.timestamp = pts;
        decoded.picture = std::make_shared<CpuPicture>(format, width, height, planes,
                                                       std::shared_ptr<AVFrame>(frame.release(), FrameFree{}));
        return decoded;
    }

    CodecContext context_;
    Packet packet_;
    std::deque<DecodedFrame> queue_;
};

}  // namespace

std::unique_ptr<VideoConverter> makeSwsConverter() { return std::make_unique<SwsVideoConverter>(); }

std::unique_ptr<HardwareH264Encoder> makeX264Encoder(const EncoderMode& mode, const X264Options& options) {
    return std::make_unique<X264Encoder>(mode, options);
}

std::unique_ptr<VideoDecoder> makeAvDecoder(VideoCodec codec, std::uint32_t width, std::uint32_t height,
                                            std::uint32_t fps, int threads) {
    return std::make_unique<AvVideoDecoder>(codec, width, height, fps, threads);
}

struct BgraScaler::State {
    Scaler scaler;
    int key[4] = {};
};

BgraScaler::BgraScaler() : state_(std::make_unique<State>()) {}
BgraScaler::~BgraScaler() = default;

void BgraScaler::scale(const CpuPicture& source, std::uint8_t* target, std::ptrdiff_t stride, std::uint32_t width,
                       std::uint32_t height) {
    throwUnless(source.format() == PixelFormat::Bgra, media_text::kPresentNeedsBgra);
    if (width == 0 || height == 0) return;
    if (source.width() == width && source.height() == height) {
        for (std::uint32_t y = 0; y < height; ++y) {
            std::memcpy(target + stride * static_cast<std::ptrdiff_t>(y), source.row(y), std::size_t{width} * 4);
        }
        return;
    }
    const int key[4] = {static_cast<int>(source.width()), static_cast<int>(source.height()), static_cast<int>(width),
                        static_cast<int>(height)};
    if (!state_->scaler || std::memcmp(key, state_->key, sizeof key) != 0) {
        Scaler scaler(sws_getContext(key[0], key[1], AV_PIX_FMT_BGRA, key[2], key[3], AV_PIX_FMT_BGRA, SWS_BILINEAR,
                                     nullptr, nullptr, nullptr));
        if (!scaler) throw ProtocolError("Create viewer scaler failed");
        state_->scaler = std::move(scaler);
        std::memcpy(state_->key, key, sizeof key);
    }
    const PlaneArrays in = planesOf(source);
    std::uint8_t* out[4] = {target, nullptr, nullptr, nullptr};
    const int outStride[4] = {static_cast<int>(stride), 0, 0, 0};
    const int rows = sws_scale(state_->scaler.get(), in.data, in.stride, 0, key[1], out, outStride);
    if (rows <= 0) throwFfmpeg("Scale viewer picture", rows);
}

void quietFfmpegLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

}  // namespace murel
