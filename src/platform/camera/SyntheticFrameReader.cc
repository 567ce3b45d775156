#include "platform/camera/SyntheticFrameReader.h"

namespace tamro::platform::camera {

SyntheticFrameReader::SyntheticFrameReader(const VideoFormat& format, std::shared_ptr<Clock> clock)
    : m_format(format), m_clock(std::move(clock)), m_picture(format.width, format.height) {}

SyntheticFrameReader::~SyntheticFrameReader() {
    Stop();
}

ReaderStartStatus SyntheticFrameReader::Start(FrameSink sink, StreamEndedSink /*ended*/) {
    if (m_thread.joinable() || m_format.rateNumerator == 0 || m_format.rateDenominator == 0)
        return ReaderStartStatus::kUnknownFailure;
    m_stopping = false;
    m_thread = std::thread(&SyntheticFrameReader::Run, this, std::move(sink), m_clock->NowNs());
    return ReaderStartStatus::kSuccess;
}

void SyntheticFrameReader::Stop() {
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void SyntheticFrameReader::Run(FrameSink sink, int64_t startNs) {
    std::unique_lock lock(m_mutex);
    for (uint64_t number = 0;; ++number) {
        if (m_clock->WaitUntil(lock, m_wake, DueNs(startNs, number), [this] { return m_stopping; }))
            return;
        if (!m_buffered) {
            const int64_t nowNs = m_clock->NowNs();
            while (DueNs(startNs, number + 1) <= nowNs)
                ++number;
        }
        lock.unlock();
        sink(m_picture.Draw(static_cast<uint32_t>(number), DueNs(startNs, number) - startNs));
        lock.lock();
    }
}

int64_t SyntheticFrameReader::DueNs(int64_t startNs, uint64_t number) const {
    const auto offset = static_cast<__int128>(number) * m_format.rateDenominator * 1'000'000'000 /
                        m_format.rateNumerator;
    return startNs + static_cast<int64_t>(offset);
}

}  // namespace tamro::platform::camera
