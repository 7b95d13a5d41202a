// The codec driver against a scripted transform, with Media Foundation's own attributes, samples,
// events and DXGI device manager on Wine's Direct3D 11 device.
#include "media/win/HardwareCodec.hpp"

#include <gtest/gtest.h>

#include <string>

#include "FakeTransform.hpp"
#include "MediaTestSupport.hpp"

namespace murel::test {
namespace {

using win::HardwareCodec;

class HardwareCodecTest : public ::testing::Test {
protected:
    void SetUp() override { device = sharedGraphicsDevice().device(); }

    void attach(HardwareCodec& codec) {
        codec.attach(ComRef<IMFTransform>::share(fake.get()), device);
    }
    ComRef<IMFSample> sample() {
        ComRef<IMFSample> made;
        EXPECT_HRESULT_SUCCEEDED(MFCreateSample(made.put()));
        return made;
    }

    ID3D11Device* device = nullptr;
    ComRef<FakeTransform> fake = FakeTransform::make();
};

TEST_F(HardwareCodecTest, AsynchronousInputNeedsACreditAndUsesItUp) {
    fake->makeAsynchronous();
    HardwareCodec codec(false);
    attach(codec);
    EXPECT_TRUE(codec.asynchronous());
    UINT32 unlocked = 0;
    EXPECT_HRESULT_SUCCEEDED(fake->attributes->GetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, &unlocked));
    EXPECT_EQ(unlocked, 1u);

    auto input = sample();
    EXPECT_FALSE(codec.submit(input.get()));
    EXPECT_TRUE(fake->inputStreamIdsSeen.empty()) << "the transform was called without a credit";

    fake->needInput();
    codec.pump();
    EXPECT_EQ(codec.inputCredits(), 1);
    EXPECT_TRUE(codec.submit(input.get()));
    EXPECT_EQ(codec.inputCredits(), 0);
    EXPECT_FALSE(codec.submit(input.get()));
    EXPECT_EQ(fake->inputStreamIdsSeen.size(), 1u);

    // A refusal keeps the credit for the next sample.
    fake->needInput();
    fake->inputResults.push_back(MF_E_NOTACCEPTING);
    codec.pump();
    EXPECT_FALSE(codec.submit(input.get()));
    EXPECT_EQ(codec.inputCredits(), 1);
    EXPECT_TRUE(codec.submit(input.get()));
    EXPECT_EQ(fake->eventReadsThatMayWait, 0) << "events must be read without waiting";
}

TEST_F(HardwareCodecTest, SeventeenthOutstandingCreditOverflows) {
    fake->makeAsynchronous();
    HardwareCodec codec(false);
    attach(codec);
    fake->needInput(16);
    codec.pump();
    EXPECT_EQ(codec.inputCredits(), 16);

    // An accepted input makes room for exactly one more.
    auto input = sample();
    EXPECT_TRUE(codec.submit(input.get()));
    fake->needInput();
    codec.pump();
    EXPECT_EQ(codec.inputCredits(), 16);

    fake->needInput();
    EXPECT_EQ(messageOf([&] { codec.pump(); }), "Codec input credit overflow");
}

TEST_F(HardwareCodecTest, OutputQueueHoldsEightAndTheAsynchronousPumpStopsReadingThere) {
    fake->makeAsynchronous();
    HardwareCodec codec(false);
    attach(codec);
    fake->haveOutput(10);
    codec.pump();
    EXPECT_EQ(codec.queuedOutputs(), 8u);
    EXPECT_EQ(fake->events.size(), 2u) << "events were read while eight outputs waited";

    // A ninth output pulled while eight wait is refused.
    EXPECT_EQ(messageOf([&] { codec.pullOutput(); }), "Codec output queue is full");

    EXPECT_EQ(codec.takeOutputs().size(), 8u);
    // The queue was full when takeOutputs pumped, so the remaining events wait for the next call.
    EXPECT_EQ(fake->events.size(), 2u);
    EXPECT_EQ(codec.takeOutputs().size(), 1u);
    EXPECT_TRUE(fake->events.empty());
}

TEST_F(HardwareCodecTest, AsynchronousPumpHandlesAtMost32Events) {
    fake->makeAsynchronous();
    HardwareCodec codec(false);
    attach(codec);
    for (int i = 0; i < 40; ++i) fake->events.push_back({MEStreamSinkMarker});
    codec.pump();
    EXPECT_EQ(fake->events.size(), 8u);
    EXPECT_EQ(fake->eventReads, 32);
    codec.pump();
    EXPECT_TRUE(fake->events.empty());
}

TEST_F(HardwareCodecTest, AsynchronousEventFailures) {
    fake->makeAsynchronous();
    HardwareCodec codec(true);
    attach(codec);
    fake->events.push_back({METransformNeedInput, E_FAIL});
    EXPECT_EQ(messageOf([&] { codec.pump(); }), "Hardware codec event failed (HRESULT 2147500037)");
    fake->events.push_back({MEError, S_OK});
    EXPECT_EQ(messageOf([&] { codec.pump(); }), "Hardware codec failed");
}

TEST_F(HardwareCodecTest, SynchronousTransformIsNotAskedForOutputBeforeItsFirstInput) {
    HardwareCodec codec(false);
    attach(codec);
    EXPECT_FALSE(codec.asynchronous());
    fake->outputs.push_back({});
    EXPECT_TRUE(codec.takeOutputs().empty());
    EXPECT_TRUE(fake->outputStreamIdsSeen.empty());
    EXPECT_TRUE(fake->infoStreamIdsSeen.empty());

    auto input = sample();
    fake->inputResults.push_back(MF_E_NOTACCEPTING);
    EXPECT_FALSE(codec.submit(input.get()));
    codec.pump();
    EXPECT_TRUE(fake->outputStreamIdsSeen.empty()) << "a refused input does not start the output side";

    EXPECT_TRUE(codec.submit(input.get()));
    EXPECT_EQ(codec.takeOutputs().size(), 1u);
    // The first pull produced the sample, the second heard "need more input" and ended the pump.
    EXPECT_EQ(fake->outputStreamIdsSeen.size(), 2u);
}

TEST_F(HardwareCodecTest, SynchronousPumpPullsAtMostEightTimes) {
    HardwareCodec codec(false);
    attach(codec);
    auto input = sample();
    ASSERT_TRUE(codec.submit(input.get()));
    for (int i = 0; i < 12; ++i) fake->outputs.push_back({});
    EXPECT_EQ(codec.takeOutputs().size(), 8u);
    EXPECT_EQ(fake->outputs.size(), 4u);
}

TEST_F(HardwareCodecTest, StreamIdsDefaultToZeroWhenTheTransformDoesNotTellThem) {
    {
        HardwareCodec codec(false);
        attach(codec);  // GetStreamIDs answers E_NOTIMPL (after scribbling 77 and 78)
        EXPECT_EQ(codec.inputStreamId(), 0u);
        EXPECT_EQ(codec.outputStreamId(), 0u);
        auto input = sample();
        ASSERT_TRUE(codec.submit(input.get()));
        codec.pump();
        ASSERT_FALSE(fake->inputStreamIdsSeen.empty());
        EXPECT_EQ(fake->inputStreamIdsSeen.back(), 0u);
        ASSERT_FALSE(fake->outputStreamIdsSeen.empty());
        EXPECT_EQ(fake->outputStreamIdsSeen.back(), 0u);
    }
    {
        fake = FakeTransform::make();
        fake->streamIdsResult = S_OK;
        fake->inputId = 3;
        fake->outputId = 5;
        HardwareCodec codec(false);
        attach(codec);
        auto input = sample();
        ASSERT_TRUE(codec.submit(input.get()));
        codec.pump();
        EXPECT_EQ(fake->inputStreamIdsSeen.back(), 3u);
        EXPECT_EQ(fake->outputStreamIdsSeen.back(), 5u);
        EXPECT_EQ(fake->infoStreamIdsSeen.back(), 5u);
    }
    fake = FakeTransform::make();
    fake->streamIdsResult = E_FAIL;
    HardwareCodec codec(false);
    EXPECT_EQ(messageOf([&] { attach(codec); }), "Read codec stream IDs failed (HRESULT 2147500037)");
}

TEST_F(HardwareCodecTest, StreamChangeRenegotiatesADecoderAndStopsAnEncoder) {
    int renegotiations = 0;
    HardwareCodec decoder(true, [&] { ++renegotiations; });
    attach(decoder);
    auto input = sample();
    ASSERT_TRUE(decoder.submit(input.get()));
    fake->outputs.push_back({MF_E_TRANSFORM_STREAM_CHANGE});
    fake->outputs.push_back({});
    EXPECT_EQ(decoder.takeOutputs().size(), 1u) << "processing goes on after the new output type";
    EXPECT_EQ(renegotiations, 1);

    fake = FakeTransform::make();
    HardwareCodec encoder(false);
    attach(encoder);
    ASSERT_TRUE(encoder.submit(input.get()));
    fake->outputs.push_back({MF_E_TRANSFORM_STREAM_CHANGE});
    EXPECT_EQ(messageOf([&] { encoder.pump(); }), "Encoder unexpectedly changed output format");
}

TEST_F(HardwareCodecTest, DriverSuppliesOutputBuffersOnlyWhenTheTransformDoesNot) {
    HardwareCodec codec(false);
    attach(codec);
    auto input = sample();
    ASSERT_TRUE(codec.submit(input.get()));

    fake->outputs.push_back({S_OK, false, true});
    auto outputs = codec.takeOutputs();
    ASSERT_EQ(outputs.size(), 1u);
    ASSERT_FALSE(fake->suppliedBufferSizes.empty());
    EXPECT_GE(fake->suppliedBufferSizes.front(), 4096u);
    // The event collection handed back with the output was released: only the fake holds it.
    EXPECT_EQ(referencesOf(fake->providedEvents.front().get()), 1u);

    fake->outputInfo.dwFlags = MFT_OUTPUT_STREAM_PROVIDES_SAMPLES;
    fake->outputs.push_back({S_OK, true});
    outputs = codec.takeOutputs();
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_FALSE(fake->outputSampleSupplied.back());
    EXPECT_EQ(outputs.front().get(), fake->providedSamples.back().get());
    outputs.clear();
    EXPECT_EQ(referencesOf(fake->providedSamples.back().get()), 1u) << "the transform's sample leaked";

    // A transform that may provide samples but hands one back although we gave none, or that
    // needs more input after handing one out: the sample is released either way.
    fake->outputInfo.dwFlags = MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES;
    fake->outputs.push_back({MF_E_TRANSFORM_NEED_MORE_INPUT, true});
    EXPECT_TRUE(codec.takeOutputs().empty());
    EXPECT_EQ(referencesOf(fake->providedSamples.back().get()), 1u);

    fake->outputInfo.dwFlags = 0;
    fake->outputInfo.cbSize = 0;
    EXPECT_EQ(messageOf([&] { codec.pullOutput(); }), "Unsupported codec output buffer size");
    fake->outputInfo.cbSize = HardwareCodec::kMaxOutputBufferBytes + 1;
    EXPECT_EQ(messageOf([&] { codec.pullOutput(); }), "Unsupported codec output buffer size");
    fake->outputInfo.cbSize = HardwareCodec::kMaxOutputBufferBytes;
    fake->outputs.push_back({E_UNEXPECTED});
    EXPECT_EQ(messageOf([&] { codec.pullOutput(); }), "Read codec output failed (HRESULT 2147549183)");
}

TEST_F(HardwareCodecTest, AttachRefusesTransformsItCannotDrive) {
    fake->attributes->DeleteItem(MF_SA_D3D11_AWARE);
    HardwareCodec unaware(false);
    EXPECT_EQ(messageOf([&] { attach(unaware); }), "Codec does not support D3D11 surfaces");

    fake = FakeTransform::make();
    fake->outputStreams = 2;
    HardwareCodec twoOutputs(false);
    EXPECT_EQ(messageOf([&] { attach(twoOutputs); }), "Codec stream layout is unsupported");

    fake = FakeTransform::make();
    fake->makeAsynchronous();
    fake->exposeEvents = false;
    HardwareCodec noEvents(false);
    EXPECT_EQ(messageOf([&] { attach(noEvents); }),
              "Get asynchronous codec event generator failed (HRESULT 2147500034)");

    // The device manager handed to a transform that can be driven is a real one.
    fake = FakeTransform::make();
    HardwareCodec codec(false);
    attach(codec);
    ASSERT_NE(fake->d3dManager, nullptr);
    ComRef<IMFDXGIDeviceManager> manager;
    EXPECT_HRESULT_SUCCEEDED(fake->d3dManager->QueryInterface(__uuidof(IMFDXGIDeviceManager), manager.putVoid()));
}

TEST_F(HardwareCodecTest, ShutdownEndsStreamingInOrderAndReleasesEverything) {
    fake->makeAsynchronous();
    {
        HardwareCodec codec(false);
        attach(codec);
        fake->haveOutput(1);
        fake->outputs.back().provideSample = true;
        fake->outputInfo.dwFlags = MFT_OUTPUT_STREAM_PROVIDES_SAMPLES;
        codec.pump();
        ASSERT_EQ(codec.queuedOutputs(), 1u);
        fake->messages.clear();
    }  // the destructor shuts down
    ASSERT_EQ(fake->messages.size(), 3u);
    EXPECT_EQ(fake->messages[0], MFT_MESSAGE_NOTIFY_END_OF_STREAM);
    EXPECT_EQ(fake->messages[1], MFT_MESSAGE_COMMAND_FLUSH);
    EXPECT_EQ(fake->messages[2], MFT_MESSAGE_NOTIFY_END_STREAMING);
    EXPECT_EQ(fake->shutdownCalls, 1);
    EXPECT_EQ(referencesOf(fake->providedSamples.front().get()), 1u);
    EXPECT_EQ(referencesOf(static_cast<IMFTransform*>(fake.get())), 1u) << "the transform was not released";

    // A codec whose attach failed still shuts its transform down.
    fake = FakeTransform::make();
    fake->inputStreams = 0;
    {
        HardwareCodec codec(false);
        EXPECT_EQ(messageOf([&] { attach(codec); }), "Codec stream layout is unsupported");
    }
    EXPECT_EQ(fake->shutdownCalls, 1);
    EXPECT_EQ(referencesOf(static_cast<IMFTransform*>(fake.get())), 1u);
}

TEST_F(HardwareCodecTest, MediaTypeCarriesSizeRateAndAspectOnlyWithADimension) {
    auto sized = HardwareCodec::mediaTypeFor(MFVideoFormat_NV12, 1920, 1080, 60);
    UINT64 packed = 0;
    ASSERT_HRESULT_SUCCEEDED(sized->GetUINT64(MF_MT_FRAME_SIZE, &packed));
    EXPECT_EQ(packed, (UINT64{1920} << 32) | 1080);
    ASSERT_HRESULT_SUCCEEDED(sized->GetUINT64(MF_MT_FRAME_RATE, &packed));
    EXPECT_EQ(packed, (UINT64{60} << 32) | 1);
    ASSERT_HRESULT_SUCCEEDED(sized->GetUINT64(MF_MT_PIXEL_ASPECT_RATIO, &packed));
    EXPECT_EQ(packed, (UINT64{1} << 32) | 1);
    GUID subtype{};
    ASSERT_HRESULT_SUCCEEDED(sized->GetGUID(MF_MT_SUBTYPE, &subtype));
    EXPECT_TRUE(subtype == MFVideoFormat_NV12);

    for (auto type : {HardwareCodec::mediaTypeFor(MFVideoFormat_H264, 0, 0, 60),
                      HardwareCodec::mediaTypeFor(MFVideoFormat_H264, 1920, 0, 60)}) {
        EXPECT_EQ(type->GetUINT64(MF_MT_FRAME_SIZE, &packed), MF_E_ATTRIBUTENOTFOUND);
        EXPECT_EQ(type->GetUINT64(MF_MT_FRAME_RATE, &packed), MF_E_ATTRIBUTENOTFOUND);
        EXPECT_EQ(type->GetUINT64(MF_MT_PIXEL_ASPECT_RATIO, &packed), MF_E_ATTRIBUTENOTFOUND);
        UINT32 interlace = 0;
        ASSERT_HRESULT_SUCCEEDED(type->GetUINT32(MF_MT_INTERLACE_MODE, &interlace));
        EXPECT_EQ(interlace, static_cast<UINT32>(MFVideoInterlace_Progressive));
    }
}

}  // namespace
}  // namespace murel::test
