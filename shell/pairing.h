#pragma once
// The one-time LAN pairing at start-up: an installer leaves a bootstrap (LAN settings with a
// password) and optionally a starter session beside the executable; each is read once and
// deleted.

#include <string>

namespace kestravon::ruvi {

class NativeDialogs;
class RequestFront;

inline constexpr const char* kPairingBootstrapFile = "private-lan-bootstrap.json";
inline constexpr const char* kPairingSessionFile = "private-lan-session.json";
inline constexpr const char* kPairingFailedText = "LAN pairing failed. Use local System settings.";

// Runs the hand-off from the files in folder. Never throws; failures show one box: the generic
// text, or the LAN settings' own refusal.
void runPairingHandOff(const std::string& folder, RequestFront& front, NativeDialogs& dialogs);

} // namespace kestravon::ruvi
