#include "remote/remote_method_set.h"

namespace kestravon::ruvi {

const std::set<std::string>& remoteMethodSet() {
    static const std::set<std::string> methods = {
        "capabilities",       "devices",      "plugins",         "setParameter",
        "setStripProcessing", "setSendLevel", "setVstParameter", "getVstParameters",
        "setInsertBypass",    "captureScene", "recallScene",     "startRecording",
        "stopRecording",      "playPlayback", "stopPlayback",    "seekPlayback",
        "setPlaybackLoop",    "status",       "getControlState", "uiPatch"};
    return methods;
}

} // namespace kestravon::ruvi
