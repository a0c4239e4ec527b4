// The plug-in's editor view, embedded in a child window of the editor window.

#include "vst3/editor_window.h"
#include "vst3/vst3_effect.h"
#include "vst3/vst3_effect_impl.h"

namespace kestravon::ruvi {
namespace {

using Steinberg::kResultOk;
using Steinberg::ViewRect;

constexpr int kMaxEditorSize = 8192;

bool validSize(int width, int height) noexcept {
    return width >= 1 && width <= kMaxEditorSize && height >= 1 && height <= kMaxEditorSize;
}

// The view's current size, when it reports a valid one.
bool viewSize(Steinberg::IPlugView* view, ViewRect& rect) {
    rect = {};
    return view->getSize(&rect) == kResultOk && validSize(rect.getWidth(), rect.getHeight());
}

// Clears inResize on every way out.
struct ResizeScope {
    explicit ResizeScope(bool& flag) : flag(flag) { flag = true; }
    ~ResizeScope() { flag = false; }
    bool& flag;
};

} // namespace

void Vst3Effect::Impl::closeEditor() noexcept {
    if (view != nullptr) {
        try {
            if (attached) {
                view->removed();
            }
            attached = false;
            view->setFrame(nullptr);
            view->release();
        } catch (...) {
        }
        view = nullptr;
    }
    attached = false;
    childWindow.destroy();
    runLoop.clear();
    editorParent = nullptr;
}

bool Vst3Effect::openEditor(EditorWindow* parent, std::string& error) {
    error.clear();
    if (impl_ == nullptr || parent == nullptr || !parent->isValid() || parent->x11Window() == 0) {
        error = "A valid native parent window is required.";
        return false;
    }
    Impl& d = *impl_;
    d.closeEditor();
    d.editorThread = std::this_thread::get_id();
    try {
        d.view = d.controller->createView(sv::ViewType::kEditor);
        if (d.view == nullptr) {
            error = "This VST3 effect has no native editor.";
            return false;
        }
        ViewRect rect;
        if (d.view->isPlatformTypeSupported(Steinberg::kPlatformTypeX11EmbedWindowID) !=
                kResultOk ||
            !viewSize(d.view, rect)) {
            d.closeEditor();
            error = "VST3 editor does not support this X11 parent.";
            return false;
        }
        d.resizable = d.view->canResize() == Steinberg::kResultTrue;
        if (!d.resizable && parent->isEditorWindow()) {
            parent->dropSizingBorder();
        }
        d.editorParent = parent;
        if (!d.childWindow.create(parent->x11Window(), rect.getWidth(), rect.getHeight()) ||
            d.view->setFrame(&d.host) != kResultOk) {
            d.closeEditor();
            error = "VST3 editor attachment failed.";
            return false;
        }
        auto* child = reinterpret_cast<void*>(d.childWindow.id());
        if (d.view->attached(child, Steinberg::kPlatformTypeX11EmbedWindowID) != kResultOk) {
            d.closeEditor();
            error = "VST3 editor attachment failed.";
            return false;
        }
        d.attached = true;
        // The view may have asked for another size while attaching: use the latest one.
        ViewRect latest;
        if (viewSize(d.view, latest)) {
            rect = latest;
        }
        d.childWindow.resize(rect.getWidth(), rect.getHeight());
        (void)d.view->onSize(&rect);
        if (parent->isEditorWindow()) {
            parent->fitClientArea(rect.getWidth(), rect.getHeight());
        }
        return true;
    } catch (...) {
        d.closeEditor();
        error = "VST3 editor attachment failed.";
        return false;
    }
}

bool Vst3Effect::resizeEditor(std::int32_t width, std::int32_t height) {
    if (impl_ == nullptr) {
        return false;
    }
    Impl& d = *impl_;
    if (d.view == nullptr || !d.attached || !d.childWindow.exists() || !d.resizable || d.inResize ||
        !d.isEditorThread() || !validSize(width, height)) {
        return false;
    }
    ResizeScope scope(d.inResize);
    try {
        ViewRect rect(0, 0, width, height);
        if (d.view->checkSizeConstraint(&rect) != kResultOk ||
            !validSize(rect.getWidth(), rect.getHeight()) || d.view->onSize(&rect) != kResultOk) {
            return false;
        }
        d.childWindow.resize(rect.getWidth(), rect.getHeight());
        if ((rect.getWidth() != width || rect.getHeight() != height) && d.editorParent != nullptr &&
            d.editorParent->isEditorWindow()) {
            d.editorParent->fitClientArea(rect.getWidth(), rect.getHeight());
        }
        return true;
    } catch (...) {
        d.restartFlags.fetch_or(sv::kReloadComponent, std::memory_order_acq_rel);
        return false;
    }
}

void Vst3Effect::closeEditor() noexcept {
    if (impl_ != nullptr) {
        impl_->closeEditor();
    }
}

Steinberg::tresult PLUGIN_API Vst3Effect::Impl::Host::resizeView(Steinberg::IPlugView* view,
                                                                 ViewRect* rect) {
    Impl& d = *owner;
    if (rect == nullptr || view == nullptr || view != d.view || !d.isEditorThread()) {
        return Steinberg::kInvalidArgument;
    }
    if (d.inResize) {
        return Steinberg::kResultFalse;
    }
    if (!validSize(rect->getWidth(), rect->getHeight())) {
        return Steinberg::kInvalidArgument;
    }
    ResizeScope scope(d.inResize);
    if (d.childWindow.exists()) {
        d.childWindow.resize(rect->getWidth(), rect->getHeight());
        if (d.editorParent != nullptr && d.editorParent->isEditorWindow()) {
            d.editorParent->fitClientArea(rect->getWidth(), rect->getHeight());
        }
    }
    return view->onSize(rect);
}

} // namespace kestravon::ruvi
