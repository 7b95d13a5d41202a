#pragma once
// Drives one Media Foundation transform that works on Direct3D 11 surfaces (the hardware H.264
// encoder, the H.264 and HEVC decoders) without ever blocking the caller.
//
// Synchronous and asynchronous transforms look the same from outside: submit() offers one input
// sample, takeOutputs() returns the finished samples. An asynchronous transform is only given input
// it asked for (one METransformNeedInput = one credit, at most 16 outstanding); its events are read
// with MF_EVENT_FLAG_NO_WAIT, at most 32 per pump. A synchronous transform is asked for output (at
// most 8 calls per pump) only once it accepted input. At most 8 finished samples wait in the queue.
//
// Threads: only the owner's thread calls it; it takes no locks. Asynchronous transforms run on their
// own threads against the shared device, whose multithread protection serialises them.
// Failures throw murel::ProtocolError; the object keeps no error state and never retries.

#include <mfidl.h>
#include <mftransform.h>
#include <d3d11.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "media/win/ComRef.hpp"

namespace murel::win {

class HardwareCodec {
public:
    static constexpr int kMaxInputCredits = 16;
    static constexpr std::size_t kMaxQueuedOutputs = 8;
    static constexpr int kMaxEventsPerPump = 32;
    static constexpr int kMaxSynchronousPulls = 8;
    static constexpr std::uint32_t kMaxOutputBufferBytes = 8 * 1024 * 1024;

    // A decoder renegotiates its output type when the transform reports a stream change (the call
    // is made on the owner's thread from inside pump); an encoder treats it as an error.
    using OutputRenegotiation = std::function<void()>;
    explicit HardwareCodec(bool isDecoder, OutputRenegotiation renegotiate = {});
    ~HardwareCodec();

    HardwareCodec(const HardwareCodec&) = delete;
    HardwareCodec& operator=(const HardwareCodec&) = delete;

    // Binds a freshly created transform to the shared device: asynchronous unlock, D3D11 awareness,
    // a DXGI device manager, one input and one output stream and their ids. The codec owns the
    // transform from here on, also when attach throws (shutdown releases it).
    void attach(ComRef<IMFTransform> transform, ID3D11Device* device);

    // Offers one input sample. False: the transform cannot take it now (no credit, or
    // MF_E_NOTACCEPTING); the sample is not kept.
    bool submit(IMFSample* sample);

    // Handles pending events (asynchronous) or pulls output (synchronous), bounded.
    void pump();

    // One ProcessOutput call; false only when the transform needs more input.
    bool pullOutput();

    // pump, then every queued sample in arrival order.
    std::vector<ComRef<IMFSample>> takeOutputs();

    // End of stream, flush, end of streaming, IMFShutdown; then releases queued samples, event
    // generator, device manager and transform in that order. Safe to call twice.
    void shutdown();

    // A progressive video type of the given subtype; size, rate and a square pixel aspect ratio
    // only when width and height are both non-zero.
    static ComRef<IMFMediaType> mediaTypeFor(const GUID& subtype, std::uint32_t width,
                                             std::uint32_t height, std::uint32_t framesPerSecond);

    IMFTransform* transform() const { return transform_.get(); }
    std::uint32_t inputStreamId() const { return inputStreamId_; }
    std::uint32_t outputStreamId() const { return outputStreamId_; }
    bool asynchronous() const { return asynchronous_; }
    bool isDecoder() const { return isDecoder_; }
    int inputCredits() const { return inputCredits_; }
    std::size_t queuedOutputs() const { return outputQueue_.size(); }

private:
    void pumpEvents();

    ComRef<IMFTransform> transform_;
    ComRef<IMFDXGIDeviceManager> deviceManager_;
    ComRef<IMFMediaEventGenerator> eventGenerator_;
    std::uint32_t inputStreamId_ = 0;
    std::uint32_t outputStreamId_ = 0;
    int inputCredits_ = 0;
    bool asynchronous_ = false;
    bool isDecoder_;
    bool inputSubmitted_ = false;
    std::deque<ComRef<IMFSample>> outputQueue_;
    OutputRenegotiation renegotiate_;
};

}  // namespace murel::win
