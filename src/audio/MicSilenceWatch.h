#pragma once

#include <atomic>
#include <cstdint>

namespace tamro {

// Notices a microphone that delivers nothing but silence (a dead or unplugged endpoint that the
// platform still reports as the default) and when real audio returns. It is fed the source's
// cumulative raw and silent frame counts once per window of about a second; three windows in a
// row without real frames raise the flag.
// Threading: Update from the output thread; IsSilent from any thread.
class MicSilenceWatch {
  public:
    static constexpr int32_t kWindowsToReport = 3;
    static constexpr int32_t kMaxWindows = 1000;

    void Reset();
    void Update(uint64_t rawFrames, uint64_t silentFrames);
    bool IsSilent() const { return m_reported.load(); }

  private:
    int32_t m_silentWindows = 0;
    uint64_t m_baselineRaw = 0;
    uint64_t m_baselineSilent = 0;
    std::atomic<bool> m_reported{false};
};

}  // namespace tamro
