#pragma once

namespace tamro {

// Full-screen magnifier driven by the focus zoom.
class IMagnifierManager {
  public:
    virtual ~IMagnifierManager() = default;

    // Restores the unmagnified screen.
    virtual void Stop() = 0;
};

}  // namespace tamro
