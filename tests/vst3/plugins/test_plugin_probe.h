#pragma once

// What the test plug-in reports to the tests and the knobs they turn. The tests reach these
// through dlsym on the loaded bundle; the plug-in reaches the host binary's trace hook
// (ruviTestplugTrace) through the global scope when the binary exports one.

#include <cstdint>

struct TestplugProbe {
    int processCalls;
    int lastFrames;
    int changeCount;
    std::uint32_t changeIds[64];
    double changeValues[64];
    int changeOffsets[64];
    int changePoints[64];
    int mainInputChannels;
    int mainOutputChannels;
    int sidechainChannels;
    std::uint64_t inputSilence;
    int componentInitializes;
    int controllerInitializes;
    int componentTerminates;
    int controllerTerminates;
    int connects;
    int componentSetStates;
    int controllerSetComponentStates;
    int controllerSetStates;
    int viewAttaches;
    int viewOnSizeWidth;
    int viewOnSizeHeight;
    int resizeViewResult;
    // What the host context answered at initialize: its name and whether it offers
    // IPlugInterfaceSupport and IComponentHandler.
    char hostName[64];
    int hostHasInterfaceSupport;
    int hostHasComponentHandler;
};

// State modes: 0 writes a small state, 1 answers kNotImplemented, 2 writes more than 16 MiB,
// 3 (component only) refuses setState.
// Editor modes: 0 resizable and constrained to 800 by 600 at most, 1 fixed size, 2 reports
// 0 by 0, 3 reports 9000 by 600, 4 asks for 640 by 480 from inside attached, 5 no editor.
extern "C" {
using TestplugProbeFn = TestplugProbe* (*)();
using TestplugKnobFn = void (*)(int);
// performEdit through the newest controller's handler, from a thread of its own when asked.
using TestplugEditFn = void (*)(std::uint32_t firstId, int count, double value, int onThread);
// Changes the newest controller's own value without telling the host.
using TestplugControllerValueFn = void (*)(std::uint32_t id, double value);
using TestplugControllerGetFn = double (*)(std::uint32_t id);
using TestplugRestartFn = int (*)(int flags);
// resizeView of the newest open view, from a thread of its own when asked; returns the result.
using TestplugResizeViewFn = int (*)(int width, int height, int onThread);
}
