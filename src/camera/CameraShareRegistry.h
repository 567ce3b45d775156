#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace tamro {

// The process-wide table through which a camera preview that shares its camera tells the
// recordings consuming it, possibly in other recorder objects, the time of its latest frame.
// Keyed by the shared texture's handle; times in 100-ns units.
// Threading: any thread; entries are read and written by value under the table's lock.
class CameraShareRegistry {
  public:
    struct Entry {
        // Since the consuming recording's session start; 0 until a frame is published.
        int64_t lastTimestamp = 0;
        // Smoothed duration of the share path's background effect.
        int64_t effectTime = 0;
    };

    static CameraShareRegistry& Instance();

    // Adds an empty entry unless one exists.
    void Add(uint64_t handle);
    void Remove(uint64_t handle);
    std::optional<Entry> Find(uint64_t handle) const;
    // Both are ignored for a handle without an entry.
    void SetLastTimestamp(uint64_t handle, int64_t timestamp);
    // 0 resets; otherwise the first duration is taken as it is and later ones smoothed by 1/8.
    void AddEffectTime(uint64_t handle, int64_t duration);
    void ClearEffectTime(uint64_t handle);

  private:
    mutable std::mutex m_mutex;
    std::unordered_map<uint64_t, Entry> m_entries;
};

}  // namespace tamro
