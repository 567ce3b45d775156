#pragma once

#include <string>

#include "CameraOptions.h"
#include "tamro/Records.h"

namespace tamro::preview {

// The bubble's looks as the keys change them: the background effect, the shape and the mirror.
// Threading: one thread.
class PreviewLooks {
  public:
    // Starts from the command line's effect, shape and mirror.
    explicit PreviewLooks(const cli::CameraOptions& options);

    // none, blur, blur:strong, a colour, a gradient, a picture, and round again; a colour,
    // gradient or picture given on the command line is the one the cycle shows.
    void NextEffect();
    // circle, rounded, square, and round again.
    void NextShape();
    void ToggleMirror() { m_mirror = !m_mirror; }

    // At Auto quality: the person is found as often as the machine's load allows.
    const BackgroundEffectConfig& Effect() const { return m_effect; }
    cli::CameraShape Shape() const { return m_shape; }
    bool Mirror() const { return m_mirror; }
    // The bubble's corner as a fraction of its half-side: 1 is a circle.
    double CornerRadius() const;

    // As --camera-effect and --camera-shape spell them.
    std::string EffectName() const;
    std::string ShapeName() const;

  private:
    BackgroundEffectConfig m_effect;
    cli::CameraShape m_shape;
    bool m_mirror;
};

}  // namespace tamro::preview
