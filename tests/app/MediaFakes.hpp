#pragma once
// Scripted media objects and a scripted peer for the Controller's session flows. Every object
// records what the worker asked of it into a shared lab and takes its behaviour from there, under
// one lock, so the test thread can script and inspect while the worker runs.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/SessionPeer.hpp"
#include "media/MediaFactory.hpp"
#include "protocol/Wire.hpp"

namespace murel::app::test {

class FakePicture final : public Picture {
public:
    FakePicture(PixelFormat format, std::uint32_t width, std::uint32_t height, std::uint32_t slices = 1)
        : description_{format, width, height, slices} {}
    PictureDescription describe() const override { return description_; }

private:
    PictureDescription description_;
};

struct DecoderMade {
    VideoCodec codec;
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t fps;
};

struct MediaLab {
    std::mutex lock;
    std::function<std::int64_t()> clock;  // the Controller's clock, read when something happens

    // Scripted.
    FrameRect desktop{0, 0, 1920, 1080};
    std::uint32_t refreshRate = 60;
    bool captureHasFrame = true;
    bool encoderProduces = true;     // one unit per accepted picture
    bool hevcDecodes = false;        // an HEVC decoder can be made (the preflight passes)
    bool decoderAccepts = true;
    int picturesPerUnit = 1;         // decoded pictures per accepted unit
    std::uint32_t decodedWidth = 1920;
    std::uint32_t decodedHeight = 1080;
    PresentResult presentResult{PresentStatus::Presented, true};
    FrameRect destination{0, 0, 1280, 720};
    std::string encoderFailure;      // makeEncoder throws it

    // Recorded.
    int devices = 0;
    int converters = 0;
    int captures = 0;                       // capturers made
    std::vector<std::int64_t> captureTimes;  // clock readings of capture() calls
    std::vector<EncoderMode> encoderModes;   // every encoder made
    std::vector<std::int64_t> encodeTimestamps;
    int keyframeRequests = 0;
    std::vector<DecoderMade> decoders;
    std::vector<std::int64_t> decodeTimestamps;
    int presents = 0;
    int presentEmpties = 0;
    std::vector<std::uint64_t> presenterWindows;
    bool timerRaised = false;
    int timerRaises = 0;
    int timerRestores = 0;

    // Reads or changes the lab under its lock.
    template <typename Action>
    auto with(Action action) {
        std::lock_guard<std::mutex> guard(lock);
        return action(*this);
    }
};

class FakeDevice final : public GraphicsDevice {
public:
    AdapterLuid adapterLuid() const override { return {}; }
};

class FakeConverter final : public VideoConverter {
protected:
    PictureHandle convertPicture(const Picture&, const ConversionShape& shape) override {
        return std::make_shared<FakePicture>(shape.key.outputFormat, shape.key.targetWidth, shape.key.targetHeight);
    }
};

class FakeCapture final : public DesktopCapture {
public:
    explicit FakeCapture(std::shared_ptr<MediaLab> lab) : lab_(std::move(lab)) { startDuplication(); }
    FrameRect desktopBounds() const override {
        std::lock_guard<std::mutex> guard(lab_->lock);
        return lab_->desktop;
    }
    std::uint32_t refreshRate() override {
        std::lock_guard<std::mutex> guard(lab_->lock);
        return lab_->refreshRate;
    }

protected:
    bool duplicating() const override { return duplicating_; }
    void startDuplication() override { duplicating_ = true; }
    void stopDuplication() noexcept override { duplicating_ = false; }
    Acquired acquireFrame(std::uint32_t) override {
        std::lock_guard<std::mutex> guard(lab_->lock);
        lab_->captureTimes.push_back(lab_->clock());
        return lab_->captureHasFrame ? Acquired::Frame : Acquired::NoNewFrame;
    }
    bool protectedContentMasked() override { return false; }
    PictureDescription describeAcquired() override {
        const FrameRect bounds = desktopBounds();
        return {PixelFormat::Bgra, static_cast<std::uint32_t>(bounds.w), static_cast<std::uint32_t>(bounds.h), 1};
    }
    PictureHandle copyAcquired() override {
        const PictureDescription d = describeAcquired();
        return std::make_shared<FakePicture>(d.format, d.width, d.height);
    }
    std::int64_t acquiredTimestamp() override { return 0; }
    void releaseFrame() noexcept override {}

private:
    std::shared_ptr<MediaLab> lab_;
    bool duplicating_ = false;
};

class FakeEncoder final : public HardwareH264Encoder {
public:
    FakeEncoder(std::shared_ptr<MediaLab> lab, const EncoderMode& mode)
        : HardwareH264Encoder(mode), lab_(std::move(lab)) {}
    std::vector<EncodedAccessUnit> encodedUnits() override {
        std::lock_guard<std::mutex> guard(lab_->lock);
        return std::exchange(units_, {});
    }
    void requestKeyframe() override {
        std::lock_guard<std::mutex> guard(lab_->lock);
        ++lab_->keyframeRequests;
    }

protected:
    bool submitPicture(const Picture&, std::int64_t timestamp) override {
        std::lock_guard<std::mutex> guard(lab_->lock);
        lab_->encodeTimestamps.push_back(timestamp);
        if (lab_->encoderProduces) units_.push_back(EncodedAccessUnit{{0, 0, 0, 1, 0x65, 0x88}, timestamp});
        return true;
    }

private:
    std::shared_ptr<MediaLab> lab_;
    std::vector<EncodedAccessUnit> units_;
};

class FakeDecoder final : public VideoDecoder {
public:
    FakeDecoder(std::shared_ptr<MediaLab> lab, VideoCodec codec, std::uint32_t width, std::uint32_t height,
                std::uint32_t fps)
        : VideoDecoder(codec, width, height, fps), lab_(std::move(lab)) {}
    std::vector<DecodedFrame> decodedFrames() override {
        std::lock_guard<std::mutex> guard(lab_->lock);
        return std::exchange(frames_, {});
    }

protected:
    bool submitAccessUnit(std::span<const std::uint8_t>, std::int64_t timestamp) override {
        std::lock_guard<std::mutex> guard(lab_->lock);
        // The preflight's test decode always works on a decoder that could be made.
        const bool preflight = codec() == VideoCodec::Hevc && timestamp == 12345;
        if (!preflight) {
            if (!lab_->decoderAccepts) return false;
            lab_->decodeTimestamps.push_back(timestamp);
        }
        const int pictures = preflight ? 1 : lab_->picturesPerUnit;
        for (int i = 0; i < pictures; ++i) {
            DecodedFrame frame;
            frame.width = preflight ? 64 : lab_->decodedWidth;
            frame.height = preflight ? 64 : lab_->decodedHeight;
            frame.picture = std::make_shared<FakePicture>(PixelFormat::Nv12, std::max(frame.width, 64u),
                                                          std::max(frame.height, 64u));
            frame.timestamp = timestamp;
            frames_.push_back(std::move(frame));
        }
        return true;
    }

private:
    std::shared_ptr<MediaLab> lab_;
    std::vector<DecodedFrame> frames_;
};

class FakePresenter final : public ViewerPresenter {
public:
    explicit FakePresenter(std::shared_ptr<MediaLab> lab) : lab_(std::move(lab)) {}
    void presentEmpty() override {
        std::lock_guard<std::mutex> guard(lab_->lock);
        ++lab_->presentEmpties;
    }
    FrameRect destination() const override {
        std::lock_guard<std::mutex> guard(lab_->lock);
        return lab_->destination;
    }

protected:
    PresentResult presentPicture(const Picture& picture) override {
        checkPresentable(picture);
        std::lock_guard<std::mutex> guard(lab_->lock);
        if (lab_->presentResult.consumed) ++lab_->presents;
        return lab_->presentResult;
    }

private:
    std::shared_ptr<MediaLab> lab_;
};

inline MediaFactory fakeMedia(std::shared_ptr<MediaLab> shared) {
    MediaLab* lab = shared.get();
    MediaFactory media;
    media.makeGraphicsDevice = [lab, shared](std::uint32_t) -> std::unique_ptr<GraphicsDevice> {
        std::lock_guard<std::mutex> guard(lab->lock);
        ++lab->devices;
        return std::make_unique<FakeDevice>();
    };
    media.makeConverter = [lab, shared](GraphicsDevice&) -> std::unique_ptr<VideoConverter> {
        std::lock_guard<std::mutex> guard(lab->lock);
        ++lab->converters;
        return std::make_unique<FakeConverter>();
    };
    media.makeCapture = [lab, shared](GraphicsDevice&, std::uint32_t) -> std::unique_ptr<DesktopCapture> {
        {
            std::lock_guard<std::mutex> guard(lab->lock);
            ++lab->captures;
        }
        return std::make_unique<FakeCapture>(shared);
    };
    media.makeEncoder = [lab, shared](GraphicsDevice&, const EncoderMode& mode) -> std::unique_ptr<HardwareH264Encoder> {
        {
            std::lock_guard<std::mutex> guard(lab->lock);
            if (!lab->encoderFailure.empty()) throw ProtocolError(lab->encoderFailure);
        }
        auto encoder = std::make_unique<FakeEncoder>(shared, mode);
        std::lock_guard<std::mutex> guard(lab->lock);
        lab->encoderModes.push_back(mode);
        return encoder;
    };
    media.makeDecoder = [lab, shared](GraphicsDevice&, VideoCodec codec, std::uint32_t width, std::uint32_t height,
                                      std::uint32_t fps) -> std::unique_ptr<VideoDecoder> {
        {
            std::lock_guard<std::mutex> guard(lab->lock);
            if (codec == VideoCodec::Hevc && !lab->hevcDecodes) throw ProtocolError("HEVC decoder is unavailable; retain H.264");
        }
        auto decoder = std::make_unique<FakeDecoder>(shared, codec, width, height, fps);
        std::lock_guard<std::mutex> guard(lab->lock);
        if (!(codec == VideoCodec::Hevc && width == 64)) lab->decoders.push_back({codec, width, height, fps});
        return decoder;
    };
    media.makePresenter = [lab, shared](GraphicsDevice&, std::uint64_t window) -> std::unique_ptr<ViewerPresenter> {
        {
            std::lock_guard<std::mutex> guard(lab->lock);
            lab->presenterWindows.push_back(window);
        }
        return std::make_unique<FakePresenter>(shared);
    };
    media.raiseTimerResolution = [lab, shared] {
        std::lock_guard<std::mutex> guard(lab->lock);
        lab->timerRaised = true;
        ++lab->timerRaises;
        return true;
    };
    media.restoreTimerResolution = [lab, shared] {
        std::lock_guard<std::mutex> guard(lab->lock);
        lab->timerRaised = false;
        ++lab->timerRestores;
    };
    return media;
}

// --- the peer ------------------------------------------------------------------------------------

struct SentInput {
    Json message;
    std::int32_t channel;
};

struct PeerRecord {
    PeerOptions options;  // as given; wake is kept to wake the worker when events are pushed
    std::deque<PeerEvent> events;
    int offers = 0;
    std::vector<Json> remoteSignals;
    std::vector<SentInput> inputs;
    std::vector<std::uint32_t> videoTimestamps;
    int keyframeRequests = 0;
    bool closed = false;
    // Scripted.
    bool refuseControl = false;
    bool refusePointer = false;
    bool refuseVideo = false;
    std::string closeFailure;
};

class PeerLab : public std::enable_shared_from_this<PeerLab> {
public:
    PeerFactory factory() {
        return [lab = shared_from_this()](PeerOptions options) -> std::unique_ptr<SessionPeer> {
            std::lock_guard<std::mutex> guard(lab->lock);
            if (!lab->failCreate.empty()) throw ProtocolError(lab->failCreate);
            auto record = std::make_shared<PeerRecord>();
            record->options = std::move(options);
            lab->peers.push_back(record);
            return std::make_unique<Peer>(lab, record);
        };
    }

    std::size_t count() {
        std::lock_guard<std::mutex> guard(lock);
        return peers.size();
    }
    // Reads or changes a peer's record under the lock.
    template <typename Action>
    auto with(std::size_t index, Action action) {
        std::lock_guard<std::mutex> guard(lock);
        return action(*peers.at(index));
    }
    // Queues events for the worker's next drain, all at once, and wakes it as a real peer does.
    void push(std::size_t index, std::vector<PeerEvent> events) {
        std::function<void()> wake;
        {
            std::lock_guard<std::mutex> guard(lock);
            PeerRecord& record = *peers.at(index);
            for (PeerEvent& event : events) record.events.push_back(std::move(event));
            wake = record.options.wake;
        }
        if (wake) wake();
    }
    void push(std::size_t index, PeerEvent event) {
        std::vector<PeerEvent> events;
        events.push_back(std::move(event));
        push(index, std::move(events));
    }

    std::mutex lock;
    std::vector<std::shared_ptr<PeerRecord>> peers;
    std::string failCreate;

private:
    class Peer final : public SessionPeer {
    public:
        Peer(std::shared_ptr<PeerLab> lab, std::shared_ptr<PeerRecord> record)
            : lab_(std::move(lab)), record_(std::move(record)) {}
        void createOffer() override {
            std::lock_guard<std::mutex> guard(lab_->lock);
            ++record_->offers;
        }
        void applyRemoteSignal(const Json& signal) override {
            std::lock_guard<std::mutex> guard(lab_->lock);
            record_->remoteSignals.push_back(signal);
        }
        std::vector<PeerEvent> drain() override {
            std::lock_guard<std::mutex> guard(lab_->lock);
            if (record_->closed) return {};
            std::vector<PeerEvent> out(std::make_move_iterator(record_->events.begin()),
                                       std::make_move_iterator(record_->events.end()));
            record_->events.clear();
            return out;
        }
        PeerEvent requestKeyframe() override {
            std::lock_guard<std::mutex> guard(lab_->lock);
            ++record_->keyframeRequests;
            return PeerEvent::of(PeerEventKind::VideoLoss);
        }
        bool sendVideoFrame(std::span<const std::uint8_t>, std::uint32_t rtpTimestamp) override {
            std::lock_guard<std::mutex> guard(lab_->lock);
            if (record_->refuseVideo) return false;
            record_->videoTimestamps.push_back(rtpTimestamp);
            return true;
        }
        bool sendInput(std::string_view message, std::int32_t channel) override {
            std::lock_guard<std::mutex> guard(lab_->lock);
            if (record_->closed) return false;
            if ((channel == 0 && record_->refuseControl) || (channel == 1 && record_->refusePointer)) return false;
            record_->inputs.push_back({Json::parse(message), channel});
            return true;
        }
        void close() override {
            std::lock_guard<std::mutex> guard(lab_->lock);
            record_->closed = true;
            if (!record_->closeFailure.empty()) throw ProtocolError(record_->closeFailure);
        }

    private:
        std::shared_ptr<PeerLab> lab_;
        std::shared_ptr<PeerRecord> record_;
    };
};

inline PeerEvent peerEvent(PeerEventKind kind) { return PeerEvent::of(kind); }

inline PeerEvent channelMessage(const Json& message, std::int32_t channel = 0) {
    PeerEvent event = PeerEvent::of(PeerEventKind::ChannelMessage);
    const std::string text = toCompactJson(message);
    for (const char c : text) event.bytes.push_back(static_cast<std::byte>(c));
    event.channel = channel;
    return event;
}

inline PeerEvent videoFrame(std::uint32_t rtpTimestamp) {
    PeerEvent event = PeerEvent::of(PeerEventKind::VideoFrame);
    for (const std::uint8_t b : {0, 0, 0, 1, 0x65, 0x88, 0x84}) event.bytes.push_back(static_cast<std::byte>(b));
    event.rtpTimestamp = rtpTimestamp;
    return event;
}

inline PeerEvent localSignal(Json signal) {
    PeerEvent event = PeerEvent::of(PeerEventKind::LocalSignal);
    event.signal = std::move(signal);
    return event;
}

}  // namespace murel::app::test
