#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "tamro/ResultCode.h"

namespace tamro::platform::media {

// Turns a finished fragmented MP4 into a regular one with a single index at the front, without
// re-encoding: its packets are copied into a new file whose index space is reserved ahead of the
// media data, so the copy is one pass, and the new file replaces the old one only once whole.
// The fragmented file is what survives a crash; editors and web players expect the regular one.
// Threading: a stateless operation on the caller's thread.
class IndexAtFront {
  public:
    // `packets` is how many the file holds, which sizes the index; `progress`, when given, counts
    // the packets copied. On failure the fragmented file is left as it was (it plays) and
    // nothing else remains.
    static ResultCode Apply(const std::string& path, int64_t packets,
                            std::atomic<int64_t>* progress = nullptr);

  private:
    static ResultCode Remux(const std::string& from, const std::string& to, int64_t packets,
                            std::atomic<int64_t>* progress);
};

}  // namespace tamro::platform::media
