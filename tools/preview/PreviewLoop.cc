#include "PreviewLoop.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

// Last: Xlib's macros clash with names in the headers above.
#include "BubbleWindow.h"

namespace tamro::preview {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kPoll = 100ms;
// Long enough for the server's word that the window is gone to follow its last present.
constexpr int kSettleMs = 200;

void Say(const std::string& text) {
    std::fprintf(stderr, "tamro-preview: %s\n", text.c_str());
}

// Takes a pending stop signal without waiting.
bool StopSignalled(const sigset_t& stopSignals) {
    const timespec now{};
    return sigtimedwait(&stopSignals, nullptr, &now) > 0;
}

}  // namespace

PreviewLoop::PreviewLoop(NativeRecorder& preview, BubbleWindow& window,
                         const cli::CameraOptions& options)
    : m_preview(preview), m_window(window), m_looks(options) {}

void PreviewLoop::ShowLooks() {
    m_preview.SetBubbleAppearance(m_looks.CornerRadius(), 0, 0, m_looks.Mirror(), true, 0);
    if (m_restyled)
        m_restyled(m_looks.Shape(), m_looks.Mirror());
}

void PreviewLoop::Run(std::optional<double> seconds, const sigset_t& stopSignals) {
    const auto end = seconds ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(*seconds))
                             : Clock::time_point::max();
    std::pair<int, int> place = m_window.Position();
    while (!StopSignalled(stopSignals)) {
        const auto now = Clock::now();
        if (now >= end)
            return;
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
            std::min<Clock::duration>(kPoll, end - now));
        if (!Handle(NextEvent(static_cast<int>(wait.count()))))
            return;
        if (m_moved && m_window.Position() != place) {
            place = m_window.Position();
            m_moved(place.first, place.second);
        }
    }
}

// The window's next event; a bubble that stopped being drawn is said once, unless the window
// is gone: then the server's word of it comes first.
BubbleEvent PreviewLoop::NextEvent(int timeoutMs) {
    BubbleEvent event = m_window.NextEvent(timeoutMs);
    if (event != BubbleEvent::kNone || !m_drawn || m_preview.IsGpuBubbleActive())
        return event;
    event = m_window.NextEvent(kSettleMs);
    if (event == BubbleEvent::kNone) {
        Say("the bubble window cannot be drawn into any more; the camera's pictures are counted "
            "instead");
        m_drawn = false;
    }
    return event;
}

// False for the events that end the preview.
bool PreviewLoop::Handle(BubbleEvent event) {
    switch (event) {
        case BubbleEvent::kNextEffect:
            m_looks.NextEffect();
            m_preview.SetPreviewBackgroundEffect(m_looks.Effect());
            Say("effect " + m_looks.EffectName());
            return true;
        case BubbleEvent::kNextShape:
            m_looks.NextShape();
            ShowLooks();
            Say("shape " + m_looks.ShapeName());
            return true;
        case BubbleEvent::kMirror:
            m_looks.ToggleMirror();
            ShowLooks();
            Say(m_looks.Mirror() ? "mirror on" : "mirror off");
            return true;
        case BubbleEvent::kClosed:
            Say("the bubble window was closed");
            return false;
        case BubbleEvent::kQuit:
            return false;
        case BubbleEvent::kNone:
            return true;
    }
    return true;
}

}  // namespace tamro::preview
