#include "platform/audio/AudioThreadPriority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

namespace tamro::platform {
namespace {

// Nice levels rather than a real-time class: a real-time thread that spins would starve a
// two-core machine, while these levels (the audio server's own) only win ties.
constexpr int kProAudioNice = -11;
constexpr int kAudioNice = -6;

}  // namespace

AudioThreadPriority::AudioThreadPriority(Task task) noexcept
    : m_threadId(static_cast<int>(::gettid())) {
    errno = 0;
    const int previous = ::getpriority(PRIO_PROCESS, m_threadId);
    if (previous == -1 && errno != 0) {
        return;
    }
    m_previousNice = previous;
    const int wanted = task == Task::kProAudio ? kProAudioNice : kAudioNice;
    m_raised = ::setpriority(PRIO_PROCESS, m_threadId, wanted) == 0;
}

AudioThreadPriority::~AudioThreadPriority() {
    if (m_raised) {
        ::setpriority(PRIO_PROCESS, m_threadId, m_previousNice);
    }
}

}  // namespace tamro::platform
