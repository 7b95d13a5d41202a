// The host input behaviour suite on the recording sink: what a desktop would see is computed from
// what the sink recorded, the way a window system turns those inputs into events.

#include <cmath>
#include <thread>

#include "SinkBehaviour.hpp"
#include "input/RecordingInputSink.hpp"

namespace murel::test {
namespace {

class RecordingRig final : public InputRig {
public:
    std::shared_ptr<InputSink> sink() override { return sink_; }
    DesktopRect screen() override { return {0, 0, 1280, 720}; }

    bool waitUntil(const std::function<bool(const std::vector<Arrived>&)>& enough,
                   std::chrono::milliseconds timeout) override {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (true) {
            for (const RecordedInput& input : sink_->take()) translate(input);
            if (enough(arrived_)) return true;
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    const std::vector<Arrived>& arrived() const override { return arrived_; }

private:
    void translate(const RecordedInput& input) {
        switch (input.kind) {
        case RecordedInput::Kind::Move:
            x_ = static_cast<int>(std::lround(input.x * (screen().width - 1) / kAbsoluteCoordinateMax));
            y_ = static_cast<int>(std::lround(input.y * (screen().height - 1) / kAbsoluteCoordinateMax));
            break;
        case RecordedInput::Kind::Button:
            arrived_.push_back(input.down ? Arrived::buttonDown(static_cast<int>(input.button), x_, y_)
                                          : Arrived::buttonUp(static_cast<int>(input.button), x_, y_));
            break;
        case RecordedInput::Kind::Key:
            arrived_.push_back(input.down ? Arrived::keyDown(input.key) : Arrived::keyUp(input.key));
            break;
        case RecordedInput::Kind::Wheel:
            wheel_.add(input.wheel, arrived_);
            break;
        case RecordedInput::Kind::Character:
            arrived_.push_back(Arrived::typed(input.character));
            break;
        }
    }

    std::shared_ptr<RecordingInputSink> sink_ = std::make_shared<RecordingInputSink>(DesktopRect{0, 0, 1280, 720});
    std::vector<Arrived> arrived_;
    int x_ = 0;
    int y_ = 0;
    NotchCounter wheel_;
};

struct RecordingBackend {
    static std::unique_ptr<InputRig> makeRig() { return std::make_unique<RecordingRig>(); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Recording, SinkBehaviour, RecordingBackend);

}  // namespace
}  // namespace murel::test
