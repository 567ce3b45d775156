#pragma once

#include <pulse/error.h>
#include <pulse/simple.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

namespace tamro::test {

// Plays 1 kHz beeps into a PulseAudio server's default sink at a steady pace, and reports when each
// beep is heard: the moment it is queued plus the stream's latency then, on the steady clock.
// That is the moment a picture must show to be in step with it.
class PulseBeeper {
  public:
    using Heard = std::function<void(std::chrono::steady_clock::time_point)>;

    PulseBeeper(const std::string& server, std::chrono::milliseconds period,
                std::chrono::milliseconds length, Heard heard)
        : m_thread([=, this] { Run(server, period, length, heard); }) {}
    ~PulseBeeper() {
        m_running = false;
        m_thread.join();
    }
    PulseBeeper(const PulseBeeper&) = delete;
    PulseBeeper& operator=(const PulseBeeper&) = delete;

  private:
    static constexpr int kRate = 48000;
    static constexpr int kChunk = 240;  // 5 ms

    void Run(const std::string& server, std::chrono::milliseconds period,
             std::chrono::milliseconds length, const Heard& heard) {
        const pa_sample_spec format{.format = PA_SAMPLE_S16LE, .rate = kRate, .channels = 1};
        pa_buffer_attr buffer{};
        buffer.maxlength = static_cast<uint32_t>(-1);
        buffer.tlength = kChunk * 2 * 4;  // 20 ms
        buffer.prebuf = static_cast<uint32_t>(-1);
        buffer.minreq = static_cast<uint32_t>(-1);
        buffer.fragsize = static_cast<uint32_t>(-1);
        int error = 0;
        pa_simple* stream = pa_simple_new(server.c_str(), "beeper", PA_STREAM_PLAYBACK, nullptr,
                                          "beeps", &format, nullptr, &buffer, &error);
        if (!stream)
            return;
        const long long periodFrames = kRate / 1000 * period.count();
        const long long lengthFrames = kRate / 1000 * length.count();
        std::vector<int16_t> chunk(kChunk);
        const auto start = std::chrono::steady_clock::now();
        for (long long n = 0; m_running; ++n) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(n * 5000));
            const long long first = n * kChunk;
            // The first beep comes two periods in, once the recording runs steadily.
            const bool beepStarts = first % periodFrames == 0 && first >= 2 * periodFrames;
            for (int i = 0; i < kChunk; ++i) {
                const long long at = first + i;
                chunk[i] = at % periodFrames < lengthFrames && at >= 2 * periodFrames
                               ? static_cast<int16_t>(
                                     16000 * std::sin(2 * std::numbers::pi * 1000.0 * at / kRate))
                               : 0;
            }
            // Read the clock next to the latency: a write that blocks must not move the estimate.
            const auto now = std::chrono::steady_clock::now();
            const pa_usec_t latency = pa_simple_get_latency(stream, &error);
            if (pa_simple_write(stream, chunk.data(), chunk.size() * 2, &error) < 0)
                break;
            if (beepStarts && latency != static_cast<pa_usec_t>(-1))
                heard(now + std::chrono::microseconds(latency));
        }
        pa_simple_drain(stream, &error);
        pa_simple_free(stream);
    }

    std::atomic<bool> m_running{true};
    std::thread m_thread;
};

}  // namespace tamro::test
