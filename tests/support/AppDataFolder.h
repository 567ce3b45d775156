#pragma once

#include <stdlib.h>

#include "support/TempDir.h"

namespace tamro::test {

// Points the local application data folder at a fresh directory for the test's lifetime, so the
// encoder cache and perf log of the machine are never touched.
class AppDataFolder {
  public:
    AppDataFolder() { setenv("XDG_DATA_HOME", m_dir.path().c_str(), 1); }
    ~AppDataFolder() { unsetenv("XDG_DATA_HOME"); }
    AppDataFolder(const AppDataFolder&) = delete;
    AppDataFolder& operator=(const AppDataFolder&) = delete;

    std::filesystem::path CacheFile() const { return m_dir.path() / "Tamro" / "encoder_cache.bin"; }

  private:
    TempDir m_dir;
};

}  // namespace tamro::test
