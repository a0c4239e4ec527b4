// The shared session document: editor-edit fold, parameter sync, payload capture.

#include "app/session_document.h"
#include "app/application_impl.h"

#include <stdexcept>

namespace kestravon::ruvi {

using Json = nlohmann::json;
using Impl = Application::Impl;

void Impl::foldEditorParameterEdits() {}

void Impl::syncUiParametersFromNative() {}

Json Impl::captureSessionPayload() {
    throw std::runtime_error("Native method not implemented: captureSessionPayload");
}

void Impl::captureInsertStatesPerInsert() {
    throw std::runtime_error("Native method not implemented: captureInsertStatesPerInsert");
}

} // namespace kestravon::ruvi

namespace kestravon::ruvi {

void checkBaseRevision(const nlohmann::json&, std::int64_t) {}

bool isValidSceneId(std::string_view) noexcept {
    return false;
}

} // namespace kestravon::ruvi
