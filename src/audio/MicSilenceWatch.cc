#include "audio/MicSilenceWatch.h"

#include "diag/PerfLog.h"

namespace tamro {

void MicSilenceWatch::Reset() {
    m_silentWindows = 0;
    m_baselineRaw = 0;
    m_baselineSilent = 0;
    m_reported = false;
}

void MicSilenceWatch::Update(uint64_t rawFrames, uint64_t silentFrames) {
    const uint64_t raw = rawFrames - m_baselineRaw;
    const uint64_t silent = silentFrames - m_baselineSilent;
    m_baselineRaw = rawFrames;
    m_baselineSilent = silentFrames;
    if (raw == 0 || silent >= raw) {
        if (m_silentWindows < kMaxWindows)
            ++m_silentWindows;
        if (m_silentWindows == kWindowsToReport && !m_reported.exchange(true)) {
            PerfLog::Write(
                "[PERF][Audio] MIC SILENT: capture device delivered no real audio for 3s "
                "(dead/disconnected endpoint - e.g. controller headset jack as default mic)\n");
        }
        return;
    }
    m_silentWindows = 0;
    if (m_reported.exchange(false))
        PerfLog::Write("[PERF][Audio] mic recovered - real packets flowing again\n");
}

}  // namespace tamro
