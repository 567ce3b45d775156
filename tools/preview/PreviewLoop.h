#pragma once

#include <signal.h>

#include <cstdint>
#include <functional>
#include <optional>

#include "PreviewLooks.h"
#include "tamro/NativeRecorder.h"

namespace tamro::preview {

// Declared here: BubbleWindow.h brings in Xlib, whose macros clash with the engine's names.
class BubbleWindow;
enum class BubbleEvent : uint8_t;

// The running preview's keys and window: effects, shapes and the mirror change on the window's
// keys; the loop ends on quit, a closed window, the time being up or a stop signal.
// Threading: one thread, the one that blocked the stop signals.
class PreviewLoop {
  public:
    PreviewLoop(NativeRecorder& preview, BubbleWindow& window, const cli::CameraOptions& options);

    const BackgroundEffectConfig& Effect() const { return m_looks.Effect(); }
    // The shape and mirror, onto the attached bubble.
    void ShowLooks();

    // False once the window cannot be drawn into: the pictures then come back as bitmaps.
    void SetDrawn(bool drawn) { m_drawn = drawn; }
    bool Drawn() const { return m_drawn; }

    // Told the window's top-left corner whenever the user has moved it.
    void OnMoved(std::function<void(int x, int y)> moved) { m_moved = std::move(moved); }
    // Told the shape and mirror whenever the user has changed either.
    void OnRestyled(std::function<void(cli::CameraShape, bool mirror)> restyled) {
        m_restyled = std::move(restyled);
    }

    void Run(std::optional<double> seconds, const sigset_t& stopSignals);

  private:
    BubbleEvent NextEvent(int timeoutMs);
    bool Handle(BubbleEvent event);

    NativeRecorder& m_preview;
    BubbleWindow& m_window;
    PreviewLooks m_looks;
    bool m_drawn = true;
    std::function<void(int x, int y)> m_moved;
    std::function<void(cli::CameraShape, bool mirror)> m_restyled;
};

}  // namespace tamro::preview
