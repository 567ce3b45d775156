#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "session/FakeComponents.h"
#include "support/LogCapture.h"
#include "tamro/NativeRecorder.h"

namespace tamro::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Time bounds carry generous slack: the behaviour, not the speed, is under test.
constexpr auto kSlack = 400ms;

// A recorder on fake components, what they were told and the errors it raised.
class RecorderTest : public ::testing::Test {
  protected:
    RecorderTest() {
        m_config.OutputPath("/tmp/out.mp4");
        Renew();
    }

    // A new world and a recorder on it, for cases that each need their own.
    void Renew() {
        m_world = std::make_shared<FakeWorld>();
        m_recorder = NativeRecorder::Create(std::make_unique<FakeComponentFactory>(m_world));
        m_recorder->ErrorOccurred([this](NativeRecorder&, const std::string& e) {
            std::lock_guard lock(m_errorsMutex);
            m_errors.push_back(e);
        });
        std::lock_guard lock(m_errorsMutex);
        m_errors.clear();
    }

    bool Start() { return m_recorder->StartAsync(m_config)->Get(); }

    // Runs Stop and returns how long it took.
    Clock::duration TimedStop() {
        const auto begin = Clock::now();
        m_recorder->Stop();
        return Clock::now() - begin;
    }

    void DeliverFrame(int64_t timestamp) { m_world->frameCallback(nullptr, timestamp); }

    std::vector<int64_t> WrittenVideo() {
        std::lock_guard lock(m_world->writtenMutex);
        return m_world->writtenVideoPts;
    }

    std::vector<std::string> Errors() {
        std::lock_guard lock(m_errorsMutex);
        return m_errors;
    }

    LogCapture m_log;
    std::mutex m_errorsMutex;
    std::vector<std::string> m_errors;  // under m_errorsMutex; outlives the recorder
    std::shared_ptr<FakeWorld> m_world;
    std::shared_ptr<NativeRecorder> m_recorder;
    RecordingConfig m_config;
};

}  // namespace tamro::test
