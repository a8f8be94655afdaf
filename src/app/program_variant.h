#pragma once

#include <functional>
#include <memory>

#include "platform/system/wired_hardware_reader.h"

namespace sorvanta {

class SorvantaApplication;

// What one build of the desktop program differs in from another; everything else (the
// windows, the model, the service and its engines, the launch arguments) is the same code.
struct ProgramVariant {
    // Makes the reader of the machine's wired adapters, once each time the service is made.
    std::function<std::shared_ptr<WiredHardwareReader>()> hardware;
    // Given the application once its windows exist, before the event loop runs; a build for
    // tests watches what the windows show through it. Optional.
    std::function<void(SorvantaApplication&)> watch;
};

// The whole desktop program: takes the launch arguments, shows the main window and runs the
// event loop until the program quits; returns the exit status.
int runProgram(int argc, char** argv, const ProgramVariant& variant);

}  // namespace sorvanta
