#pragma once
// Murel.exe's interface from start to exit: GDI+ and common controls, the five window classes,
// the Controller, the main window, the message loop and the shutdown that keeps pumping until the
// Controller's worker has stopped.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <functional>
#include <memory>

#include "ui/ControllerPort.hpp"

namespace murel::win {

using ControllerFactory = std::function<std::unique_ptr<ui::ControllerPort>()>;

// Runs the interface and returns the process exit code: the quit message's code, or 1 when start-up
// failed, the message loop failed or a failure ended it.
int runInterface(HINSTANCE instance, int showCommand, const ControllerFactory& makeController);

}  // namespace murel::win
