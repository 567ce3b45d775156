#pragma once

#include <cstdint>
#include <string_view>

#include "tamro/Export.h"
#include "tamro/Object.h"

namespace tamro {

// A read-only snapshot, made fresh for every progress event.
class TAMRO_API RecordingProgress final : public Object {
  public:
    static constexpr std::string_view kClassName = "Tamro.Native.RecordingProgress";

    RecordingProgress() = default;
    RecordingProgress(double elapsedSeconds, int64_t estimatedBytes, double fps,
                      int32_t droppedFrames) noexcept
        : m_elapsedSeconds(elapsedSeconds),
          m_estimatedBytes(estimatedBytes),
          m_fps(fps),
          m_droppedFrames(droppedFrames) {}

    std::string_view ClassName() const noexcept override { return kClassName; }

    double ElapsedSeconds() const noexcept { return m_elapsedSeconds; }
    int64_t EstimatedBytes() const noexcept { return m_estimatedBytes; }
    double Fps() const noexcept { return m_fps; }
    int32_t DroppedFrames() const noexcept { return m_droppedFrames; }

    // The size estimate at 8 Mbit/s, truncated.
    static int64_t EstimateBytes(double elapsedSeconds) noexcept {
        return static_cast<int64_t>(elapsedSeconds * 8'000'000.0 * 0.125);
    }

  private:
    double m_elapsedSeconds = 0.0;
    int64_t m_estimatedBytes = 0;
    double m_fps = 0.0;
    int32_t m_droppedFrames = 0;
};

}  // namespace tamro
