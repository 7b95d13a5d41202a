#pragma once
// A scriptable Media Foundation transform for the codec driver's tests: it records what the driver
// asks of it and answers from queues the test fills. Attributes, samples, events and media types are
// Media Foundation's own objects; only the transform is made up.

#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>
#include <strmif.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "media/win/ComRef.hpp"

namespace murel::test {

using win::ComRef;

class FakeTransform final : public IMFTransform,
                            public IMFMediaEventGenerator,
                            public IMFShutdown,
                            public ICodecAPI {
public:
    struct Output {
        HRESULT result = S_OK;
        bool provideSample = false;  // hand out a sample of our own instead of filling the caller's
        bool withEvents = false;     // return an event collection the caller must release
        ComRef<IMFSample> sample = {};  // with provideSample: this one rather than an empty one
    };
    struct CodecValue {
        GUID property;
        VARTYPE type;
        ULONG value;  // ulVal, or boolVal for VT_BOOL
    };
    struct Event {
        MediaEventType type;
        HRESULT status = S_OK;
    };

    FakeTransform() {
        MFCreateAttributes(attributes.put(), 4);
        attributes->SetUINT32(MF_SA_D3D11_AWARE, 1);
        outputInfo.cbSize = 4096;
        outputInfo.cbAlignment = 16;
    }

    static ComRef<FakeTransform> make() { return ComRef<FakeTransform>::adopt(new FakeTransform()); }

    void makeAsynchronous() { attributes->SetUINT32(MF_TRANSFORM_ASYNC, 1); }
    void needInput(int count = 1) {
        for (int i = 0; i < count; ++i) events.push_back({METransformNeedInput});
    }
    void haveOutput(int count = 1) {
        for (int i = 0; i < count; ++i) {
            events.push_back({METransformHaveOutput});
            outputs.push_back({});
        }
    }

    // What the test scripts.
    ComRef<IMFAttributes> attributes;
    bool exposeEvents = true;
    bool exposeShutdown = true;
    bool exposeCodecApi = false;
    DWORD inputStreams = 1;
    DWORD outputStreams = 1;
    HRESULT streamIdsResult = E_NOTIMPL;
    DWORD inputId = 0;
    DWORD outputId = 0;
    std::deque<HRESULT> inputResults;  // empty: S_OK
    MFT_OUTPUT_STREAM_INFO outputInfo{};
    std::deque<Output> outputs;  // empty: MF_E_TRANSFORM_NEED_MORE_INPUT
    std::deque<Event> events;

    // What the test reads.
    std::vector<DWORD> inputStreamIdsSeen;
    std::vector<ComRef<IMFSample>> inputSamples;
    std::vector<std::string> typeCalls;  // "input", "input test", "output", "output test" in call order
    std::vector<CodecValue> codecValues;
    std::vector<DWORD> infoStreamIdsSeen;    // GetOutputStreamInfo
    std::vector<DWORD> outputStreamIdsSeen;  // ProcessOutput
    std::vector<bool> outputSampleSupplied;
    std::vector<DWORD> suppliedBufferSizes;
    std::vector<MFT_MESSAGE_TYPE> messages;
    IUnknown* d3dManager = nullptr;
    int eventReads = 0;
    int eventReadsThatMayWait = 0;
    int shutdownCalls = 0;
    std::vector<ComRef<IMFSample>> providedSamples;
    std::vector<ComRef<IMFCollection>> providedEvents;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (riid == __uuidof(IUnknown) || riid == __uuidof(IMFTransform)) {
            *out = static_cast<IMFTransform*>(this);
        } else if (riid == __uuidof(IMFMediaEventGenerator) && exposeEvents) {
            *out = static_cast<IMFMediaEventGenerator*>(this);
        } else if (riid == __uuidof(IMFShutdown) && exposeShutdown) {
            *out = static_cast<IMFShutdown*>(this);
        } else if (riid == IID_ICodecAPI && exposeCodecApi) {
            *out = static_cast<ICodecAPI*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    // IMFTransform
    STDMETHODIMP GetStreamLimits(DWORD*, DWORD*, DWORD*, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP GetStreamCount(DWORD* inputs, DWORD* outputsCount) override {
        *inputs = inputStreams;
        *outputsCount = outputStreams;
        return S_OK;
    }
    STDMETHODIMP GetStreamIDs(DWORD inputSize, DWORD* inputIds, DWORD outputSize, DWORD* outputIds) override {
        if (FAILED(streamIdsResult)) {
            // A careless transform scribbles before failing; the driver must not believe it.
            if (inputSize) inputIds[0] = 77;
            if (outputSize) outputIds[0] = 78;
            return streamIdsResult;
        }
        inputIds[0] = inputId;
        outputIds[0] = outputId;
        return S_OK;
    }
    STDMETHODIMP GetInputStreamInfo(DWORD, MFT_INPUT_STREAM_INFO*) override { return E_NOTIMPL; }
    STDMETHODIMP GetOutputStreamInfo(DWORD id, MFT_OUTPUT_STREAM_INFO* info) override {
        infoStreamIdsSeen.push_back(id);
        *info = outputInfo;
        return S_OK;
    }
    STDMETHODIMP GetAttributes(IMFAttributes** out) override {
        *out = attributes.get();
        attributes->AddRef();
        return S_OK;
    }
    STDMETHODIMP GetInputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
    STDMETHODIMP GetOutputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
    STDMETHODIMP DeleteInputStream(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP AddInputStreams(DWORD, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP GetInputAvailableType(DWORD, DWORD, IMFMediaType**) override { return E_NOTIMPL; }
    STDMETHODIMP GetOutputAvailableType(DWORD, DWORD index, IMFMediaType** out) override {
        if (index >= availableOutputTypes.size()) return MF_E_NO_MORE_TYPES;
        *out = availableOutputTypes[index].get();
        (*out)->AddRef();
        return S_OK;
    }
    STDMETHODIMP SetInputType(DWORD, IMFMediaType* type, DWORD flags) override {
        typeCalls.push_back(flags & MFT_SET_TYPE_TEST_ONLY ? "input test" : "input");
        if (!(flags & MFT_SET_TYPE_TEST_ONLY)) inputType = ComRef<IMFMediaType>::share(type);
        return S_OK;
    }
    STDMETHODIMP SetOutputType(DWORD, IMFMediaType* type, DWORD flags) override {
        typeCalls.push_back(flags & MFT_SET_TYPE_TEST_ONLY ? "output test" : "output");
        if (!(flags & MFT_SET_TYPE_TEST_ONLY)) {
            outputType = ComRef<IMFMediaType>::share(type);
            ++outputTypesSet;
        }
        return S_OK;
    }
    STDMETHODIMP GetInputCurrentType(DWORD, IMFMediaType**) override { return E_NOTIMPL; }
    STDMETHODIMP GetOutputCurrentType(DWORD, IMFMediaType**) override { return E_NOTIMPL; }
    STDMETHODIMP GetInputStatus(DWORD, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP GetOutputStatus(DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
    STDMETHODIMP ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }
    STDMETHODIMP ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR param) override {
        messages.push_back(message);
        if (message == MFT_MESSAGE_SET_D3D_MANAGER) d3dManager = reinterpret_cast<IUnknown*>(param);
        return S_OK;
    }
    STDMETHODIMP ProcessInput(DWORD id, IMFSample* sample, DWORD) override {
        inputStreamIdsSeen.push_back(id);
        inputSamples.push_back(ComRef<IMFSample>::share(sample));
        if (inputResults.empty()) return S_OK;
        const HRESULT result = inputResults.front();
        inputResults.pop_front();
        return result;
    }
    STDMETHODIMP ProcessOutput(DWORD, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) override {
        *status = 0;
        if (count != 1) return E_INVALIDARG;
        outputStreamIdsSeen.push_back(buffers[0].dwStreamID);
        outputSampleSupplied.push_back(buffers[0].pSample != nullptr);
        if (buffers[0].pSample) {
            DWORD size = 0;
            ComRef<IMFMediaBuffer> buffer;
            if (SUCCEEDED(buffers[0].pSample->GetBufferByIndex(0, buffer.put()))) buffer->GetMaxLength(&size);
            suppliedBufferSizes.push_back(size);
        }
        if (outputs.empty()) return MF_E_TRANSFORM_NEED_MORE_INPUT;
        const Output next = outputs.front();
        outputs.pop_front();
        if (next.provideSample) {
            ComRef<IMFSample> sample = next.sample;
            if (!sample) MFCreateSample(sample.put());
            providedSamples.push_back(sample);
            buffers[0].pSample = sample.detach();
        }
        if (next.withEvents) {
            ComRef<IMFCollection> collection;
            MFCreateCollection(collection.put());
            providedEvents.push_back(collection);
            buffers[0].pEvents = collection.detach();
        }
        return next.result;
    }

    // IMFMediaEventGenerator
    STDMETHODIMP GetEvent(DWORD flags, IMFMediaEvent** out) override {
        ++eventReads;
        if (!(flags & MF_EVENT_FLAG_NO_WAIT)) ++eventReadsThatMayWait;
        if (events.empty()) return MF_E_NO_EVENTS_AVAILABLE;
        const Event next = events.front();
        events.pop_front();
        return MFCreateMediaEvent(next.type, GUID_NULL, next.status, nullptr, out);
    }
    STDMETHODIMP BeginGetEvent(IMFAsyncCallback*, IUnknown*) override { return E_NOTIMPL; }
    STDMETHODIMP EndGetEvent(IMFAsyncResult*, IMFMediaEvent**) override { return E_NOTIMPL; }
    STDMETHODIMP QueueEvent(MediaEventType, REFGUID, HRESULT, const PROPVARIANT*) override { return E_NOTIMPL; }

    // IMFShutdown
    STDMETHODIMP Shutdown() override {
        ++shutdownCalls;
        return S_OK;
    }
    STDMETHODIMP GetShutdownStatus(MFSHUTDOWN_STATUS*) override { return E_NOTIMPL; }

    // ICodecAPI: records what is set.
    STDMETHODIMP IsSupported(const GUID*) override { return S_OK; }
    STDMETHODIMP IsModifiable(const GUID*) override { return S_OK; }
    STDMETHODIMP GetParameterRange(const GUID*, VARIANT*, VARIANT*, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetParameterValues(const GUID*, VARIANT**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetDefaultValue(const GUID*, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetValue(const GUID*, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP SetValue(const GUID* property, VARIANT* value) override {
        const ULONG number = value->vt == VT_BOOL ? static_cast<ULONG>(static_cast<USHORT>(value->boolVal)) : value->ulVal;
        codecValues.push_back({*property, value->vt, number});
        return S_OK;
    }
    STDMETHODIMP RegisterForEvent(const GUID*, LONG_PTR) override { return E_NOTIMPL; }
    STDMETHODIMP UnregisterForEvent(const GUID*) override { return E_NOTIMPL; }
    STDMETHODIMP SetAllDefaults() override { return E_NOTIMPL; }
    STDMETHODIMP SetValueWithNotify(const GUID*, VARIANT*, GUID**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP SetAllDefaultsWithNotify(GUID**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetAllSettings(IStream*) override { return E_NOTIMPL; }
    STDMETHODIMP SetAllSettings(IStream*) override { return E_NOTIMPL; }
    STDMETHODIMP SetAllSettingsWithNotify(IStream*, GUID**, ULONG*) override { return E_NOTIMPL; }

    // The last value set for a property, or nothing.
    const CodecValue* codecValue(const GUID& property) const {
        for (auto it = codecValues.rbegin(); it != codecValues.rend(); ++it) {
            if (it->property == property) return &*it;
        }
        return nullptr;
    }

    // Output types offered to a decoder's negotiation, and what it chose.
    std::vector<ComRef<IMFMediaType>> availableOutputTypes;
    ComRef<IMFMediaType> inputType;
    ComRef<IMFMediaType> outputType;
    int outputTypesSet = 0;

private:
    ~FakeTransform() = default;
    std::atomic<ULONG> references_{1};
};

}  // namespace murel::test
