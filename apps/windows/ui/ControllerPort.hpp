#pragma once
// The four operations through which the interface meets the application core. Murel.exe passes
// the real Controller; tests of the windows pass a scripted one.

#include "app/Command.hpp"
#include "app/Controller.hpp"
#include "app/Status.hpp"

namespace murel::ui {

class ControllerPort {
public:
    virtual ~ControllerPort() = default;
    virtual bool post(app::Command command) = 0;
    virtual app::Status snapshot() const = 0;
    virtual void requestStop() = 0;
    virtual bool workerStopped() const = 0;
};

// The port over the application's one Controller, which it owns.
class OwnedController final : public ControllerPort {
public:
    explicit OwnedController(app::Platform platform) : controller_(std::move(platform)) {}
    bool post(app::Command command) override { return controller_.post(std::move(command)); }
    app::Status snapshot() const override { return controller_.snapshot(); }
    void requestStop() override { controller_.requestStop(); }
    bool workerStopped() const override { return controller_.workerStopped(); }

private:
    app::Controller controller_;
};

}  // namespace murel::ui
