// Murel.exe: the interface over the one Controller, with the Windows platform.

#include <windows.h>

#include <memory>

#include "app/win/WindowsPlatform.hpp"
#include "ui/ControllerPort.hpp"
#include "ui/win/Interface.hpp"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    return murel::win::runInterface(instance, showCommand, [] {
        return std::make_unique<murel::ui::OwnedController>(murel::win::makeWindowsPlatform());
    });
}
