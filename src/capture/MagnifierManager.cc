#include "capture/MagnifierManager.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <utility>

#include "capture/FocusGeometry.h"
#include "diag/Log.h"

namespace tamro {

MagnifierManager::MagnifierManager(Options options)
    : m_options(std::move(options)), m_enabled(m_options.enabled) {}

MagnifierManager::~MagnifierManager() {
    std::lock_guard control(m_controlMutex);
    EndAnimation();
}

void MagnifierManager::ZoomTo(double zoom, double centerX, double centerY, int32_t width,
                              int32_t height, double durationMs) {
    if (!m_enabled)
        return;
    std::lock_guard control(m_controlMutex);
    EndAnimation();
    {
        std::lock_guard lock(m_mutex);
        m_animation = Animation{.startZoom = m_currentZoom,
                                .targetZoom = std::clamp(zoom, 1.0, kMaximumZoom),
                                .centerX = centerX,
                                .centerY = centerY,
                                .width = width,
                                .height = height,
                                .durationMs = durationMs,
                                .startNs = m_options.clock->NowNs()};
    }
    m_stopRequest = false;
    m_animating = true;
    m_animationThread = std::thread([this] { AnimationThread(); });
}

MagnifierOffset MagnifierManager::ComputeOffset(double centerX, double centerY, int32_t width,
                                                int32_t height, double zoom) const {
    if (zoom <= 1)
        return {};
    const double viewWidth = width / zoom;
    const double viewHeight = height / zoom;
    return {static_cast<int32_t>(
                std::round(std::max(std::min(centerX - viewWidth / 2, width - viewWidth), 0.0))),
            static_cast<int32_t>(std::round(
                std::max(std::min(centerY - viewHeight / 2, height - viewHeight), 0.0)))};
}

bool MagnifierManager::ApplyTransform(double zoom, int32_t x, int32_t y) {
    const uint32_t error = m_options.setTransform(zoom, x, y);
    if (error != 0) {
        LogLine("[MagnifierManager] MagSetFullscreenTransform failed: error %lu\n",
                static_cast<unsigned long>(error));
        return false;
    }
    return true;
}

void MagnifierManager::Stop() {
    if (!m_enabled)
        return;
    std::lock_guard control(m_controlMutex);
    EndAnimation();
    if (m_currentZoom != 1.0)
        ApplyTransform(1.0, 0, 0);
    m_options.uninitialize();
    m_enabled = false;
    Publish(1.0, {});
}

// Callers hold m_controlMutex.
void MagnifierManager::EndAnimation() {
    {
        std::lock_guard lock(m_mutex);
        m_stopRequest = true;
    }
    m_wake.notify_all();
    if (m_animationThread.joinable())
        m_animationThread.join();
    m_animating = false;
}

void MagnifierManager::AnimationThread() {
    while (!m_stopRequest) {
        try {
            if (!AnimationStep())
                break;
        } catch (const std::exception& error) {
            LogLine("[MagnifierManager] AnimationThread exception: %s\n", error.what());
        } catch (...) {
            LogLine("[MagnifierManager] AnimationThread unknown exception\n");
        }
    }
    m_animating = false;
}

bool MagnifierManager::AnimationStep() {
    const int64_t nowNs = m_options.clock->NowNs();
    Animation animation;
    {
        std::lock_guard lock(m_mutex);
        animation = m_animation;
    }
    const double elapsedMs = (nowNs - animation.startNs) / 1e6;
    const bool finished = elapsedMs >= animation.durationMs;
    double zoom = animation.targetZoom;
    if (!finished) {
        const double progress = elapsedMs / animation.durationMs;
        const double eased = animation.targetZoom > animation.startZoom ? EaseZoomIn(progress)
                                                                        : EaseZoomOut(progress);
        zoom = animation.startZoom + (animation.targetZoom - animation.startZoom) * eased;
    }
    const MagnifierOffset offset = ComputeOffset(animation.centerX, animation.centerY,
                                                 animation.width, animation.height, zoom);
    // A refused step is logged and the animation goes on.
    ApplyTransform(zoom, offset.x, offset.y);
    Publish(zoom, offset);
    if (finished)
        return false;
    std::unique_lock lock(m_mutex);
    m_options.clock->WaitUntil(lock, m_wake, nowNs + kStepNs, [&] { return m_stopRequest.load(); });
    return true;
}

void MagnifierManager::Publish(double zoom, const MagnifierOffset& offset) {
    m_currentZoom = zoom;
    m_offsetX = offset.x;
    m_offsetY = offset.y;
}

}  // namespace tamro
