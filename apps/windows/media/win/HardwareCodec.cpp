#include "media/win/HardwareCodec.hpp"

#include <mfapi.h>
#include <mferror.h>

#include <utility>

#include "platform/win/WinError.hpp"
#include "protocol/Wire.hpp"

namespace murel::win {

HardwareCodec::HardwareCodec(bool isDecoder, OutputRenegotiation renegotiate)
    : isDecoder_(isDecoder), renegotiate_(std::move(renegotiate)) {}

HardwareCodec::~HardwareCodec() { shutdown(); }

void HardwareCodec::attach(ComRef<IMFTransform> transform, ID3D11Device* device) {
    transform_ = std::move(transform);
    if (!transform_) checkHr(E_POINTER, "Get codec attributes");

    ComRef<IMFAttributes> attributes;
    checkHr(transform_->GetAttributes(attributes.put()), "Get codec attributes");
    if (!attributes) checkHr(E_POINTER, "Get codec attributes");

    UINT32 async = 0;
    if (SUCCEEDED(attributes->GetUINT32(MF_TRANSFORM_ASYNC, &async)) && async != 0) {
        asynchronous_ = true;
        checkHr(attributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, 1), "Unlock asynchronous hardware codec");
        checkHr(transform_.query(eventGenerator_), "Get asynchronous codec event generator");
    }

    UINT32 d3d11Aware = 0;
    if (FAILED(attributes->GetUINT32(MF_SA_D3D11_AWARE, &d3d11Aware))) d3d11Aware = 0;
    throwUnless(d3d11Aware != 0, "Codec does not support D3D11 surfaces");

    UINT resetToken = 0;
    checkHr(MFCreateDXGIDeviceManager(&resetToken, deviceManager_.put()), "Create codec D3D manager");
    checkHr(deviceManager_->ResetDevice(device, resetToken), "Bind codec graphics device");
    checkHr(transform_->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER,
                                       reinterpret_cast<ULONG_PTR>(deviceManager_.get())),
            "Configure codec D3D manager");

    DWORD inputs = 0;
    DWORD outputs = 0;
    checkHr(transform_->GetStreamCount(&inputs, &outputs), "Read codec stream count");
    throwUnless(inputs == 1 && outputs == 1, "Codec stream layout is unsupported");

    // Fixed-stream transforms answer E_NOTIMPL and use ids 0 and 0.
    DWORD inputId = 0;
    DWORD outputId = 0;
    const HRESULT ids = transform_->GetStreamIDs(1, &inputId, 1, &outputId);
    if (ids != E_NOTIMPL) {
        checkHr(ids, "Read codec stream IDs");
        inputStreamId_ = inputId;
        outputStreamId_ = outputId;
    }
}

bool HardwareCodec::submit(IMFSample* sample) {
    if (!transform_) return false;
    if (asynchronous_ && inputCredits_ == 0) return false;
    const HRESULT hr = transform_->ProcessInput(inputStreamId_, sample, 0);
    if (hr == MF_E_NOTACCEPTING) return false;
    checkHr(hr, "Submit codec input");
    inputSubmitted_ = true;
    if (asynchronous_) --inputCredits_;
    return true;
}

void HardwareCodec::pump() {
    if (!transform_) return;
    if (asynchronous_) {
        pumpEvents();
        return;
    }
    if (!inputSubmitted_) return;
    for (int pull = 0; pull < kMaxSynchronousPulls; ++pull) {
        if (!pullOutput()) break;
    }
}

void HardwareCodec::pumpEvents() {
    for (int handled = 0; handled < kMaxEventsPerPump && outputQueue_.size() < kMaxQueuedOutputs; ++handled) {
        ComRef<IMFMediaEvent> event;
        const HRESULT got = eventGenerator_->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.put());
        if (got == MF_E_NO_EVENTS_AVAILABLE) return;
        checkHr(got, "Read hardware codec event");
        if (!event) checkHr(E_POINTER, "Read hardware codec event");

        HRESULT status = S_OK;
        checkHr(event->GetStatus(&status), "Read codec event status");
        checkHr(status, "Hardware codec event");
        MediaEventType type = MEUnknown;
        checkHr(event->GetType(&type), "Read codec event type");

        switch (type) {
        case METransformNeedInput:
            if (++inputCredits_ > kMaxInputCredits) throw ProtocolError("Codec input credit overflow");
            break;
        case METransformHaveOutput:
            pullOutput();
            break;
        case MEError:
            throw ProtocolError("Hardware codec failed");
        default:
            break;  // drain markers and the like mean nothing here
        }
    }
}

bool HardwareCodec::pullOutput() {
    if (!transform_) return false;
    MFT_OUTPUT_STREAM_INFO info{};
    checkHr(transform_->GetOutputStreamInfo(outputStreamId_, &info), "Read codec buffer requirements");

    ComRef<IMFSample> supplied;
    if ((info.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES)) == 0) {
        throwUnless(info.cbSize >= 1 && info.cbSize <= kMaxOutputBufferBytes,
                    "Unsupported codec output buffer size");
        const DWORD alignment = info.cbAlignment < 2 ? 0 : info.cbAlignment - 1;
        ComRef<IMFMediaBuffer> buffer;
        checkHr(MFCreateAlignedMemoryBuffer(info.cbSize, alignment, buffer.put()), "Allocate codec output");
        checkHr(MFCreateSample(supplied.put()), "Create codec output sample");
        checkHr(supplied->AddBuffer(buffer.get()), "Attach codec output buffer");
    }

    MFT_OUTPUT_DATA_BUFFER output{};
    output.dwStreamID = outputStreamId_;
    output.pSample = supplied.get();
    DWORD status = 0;
    const HRESULT hr = transform_->ProcessOutput(0, 1, &output, &status);
    // Whatever the result, a collection or a sample of the transform's own belongs to us now.
    ComRef<IMFCollection> events = ComRef<IMFCollection>::adopt(output.pEvents);
    ComRef<IMFSample> produced = supplied;
    if (output.pSample && output.pSample != supplied.get()) produced = ComRef<IMFSample>::adopt(output.pSample);

    if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) return false;
    if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
        if (!isDecoder_) throw ProtocolError("Encoder unexpectedly changed output format");
        if (renegotiate_) renegotiate_();
        return true;
    }
    checkHr(hr, "Read codec output");
    if (produced) {
        throwUnless(outputQueue_.size() < kMaxQueuedOutputs, "Codec output queue is full");
        outputQueue_.push_back(std::move(produced));
    }
    return true;
}

std::vector<ComRef<IMFSample>> HardwareCodec::takeOutputs() {
    pump();
    std::vector<ComRef<IMFSample>> samples;
    samples.reserve(outputQueue_.size());
    while (!outputQueue_.empty()) {
        samples.push_back(std::move(outputQueue_.front()));
        outputQueue_.pop_front();
    }
    return samples;
}

void HardwareCodec::shutdown() {
    if (transform_) {
        transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_END_OF_STREAM, inputStreamId_);
        transform_->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0);
        transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
        ComRef<IMFShutdown> shutdownControl;
        if (SUCCEEDED(transform_.query(shutdownControl)) && shutdownControl) shutdownControl->Shutdown();
    }
    outputQueue_.clear();
    eventGenerator_.reset();
    deviceManager_.reset();
    transform_.reset();
    inputCredits_ = 0;
    inputSubmitted_ = false;
}

ComRef<IMFMediaType> HardwareCodec::mediaTypeFor(const GUID& subtype, std::uint32_t width,
                                                 std::uint32_t height, std::uint32_t framesPerSecond) {
    ComRef<IMFMediaType> type;
    checkHr(MFCreateMediaType(type.put()), "Create video media type");
    checkHr(type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video), "Set video major type");
    checkHr(type->SetGUID(MF_MT_SUBTYPE, subtype), "Set video subtype");
    if (width != 0 && height != 0) {
        checkHr(MFSetAttributeSize(type.get(), MF_MT_FRAME_SIZE, width, height), "Set frame size");
        checkHr(MFSetAttributeRatio(type.get(), MF_MT_FRAME_RATE, framesPerSecond, 1), "Set frame rate");
        checkHr(MFSetAttributeRatio(type.get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1), "Set pixel aspect ratio");
    }
    checkHr(type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive), "Set progressive video");
    return type;
}

}  // namespace murel::win
