#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/audio/PulseConnection.h"

namespace tamro::platform {

// A float32 record stream on one source, optionally narrowed to one sink input (a monitor stream
// of that input alone). It records from the moment the server accepts it; the data handler gets
// every fragment the server delivers, with null data for a hole. Threading: every call, destruction
// included, with the connection's lock held or on its loop thread; the handler runs on the loop
// thread.
class PulseRecordStream {
  public:
    using DataHandler = std::function<void(const void* data, size_t bytes)>;

    struct Options {
        std::string source;
        uint32_t sampleRate = 48000;
        uint8_t channels = 2;
        uint32_t sinkInput = PA_INVALID_INDEX;  // monitor only this sink input
        bool suppressFilters = false;           // ask for the unprocessed capture
        // Fail when the source goes away instead of being moved by the server to another one
        // (the default input, which for a loopback would record the wrong sound).
        bool stayOnSource = false;
        std::chrono::milliseconds fragment{10};
        // Called on the loop thread when the stream fails after it was ready.
        std::function<void()> failed;
    };

    // A sink renders at most its largest latency ahead, two seconds by default: a source that
    // gives nothing for longer is silent, which the capture handles once it runs.
    static constexpr std::chrono::milliseconds kFirstDataWait{2500};

    // Null with a failing code when the server refuses the stream.
    static std::unique_ptr<PulseRecordStream> Create(std::shared_ptr<PulseConnection> connection,
                                                     const Options& options, DataHandler handler,
                                                     uint32_t* result);
    PulseRecordStream(std::shared_ptr<PulseConnection> connection, pa_stream* stream,
                      DataHandler handler, std::function<void()> failed);
    ~PulseRecordStream();
    PulseRecordStream(const PulseRecordStream&) = delete;
    PulseRecordStream& operator=(const PulseRecordStream&) = delete;

    // Not on the loop thread: waits until the stream records or fails.
    bool WaitReady(std::chrono::milliseconds limit);
    // Not on the loop thread: waits until the server delivered the first fragment. A sink that
    // rendered far ahead for a player with a long buffer hands its monitor nothing new until that
    // is played out, up to two seconds; a capture that starts before then misses the sound of
    // its first moments, which the server never delivers again.
    bool WaitForData(std::chrono::milliseconds limit);
    bool HasFailed() const;
    bool Cork(bool corked);
    uint32_t Latency(int64_t* latency100ns) const;

  private:
    static void OnRead(pa_stream* stream, size_t bytes, void* self);
    static void OnStateChanged(pa_stream* stream, void* self);

    std::shared_ptr<PulseConnection> m_connection;
    pa_stream* m_stream;
    DataHandler m_handler;
    std::function<void()> m_failed;
    bool m_wasReady = false;  // loop thread, or with the connection's lock held
    bool m_hasData = false;   // loop thread, or with the connection's lock held
};

}  // namespace tamro::platform
