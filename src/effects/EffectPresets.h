#pragma once

#include <array>
#include <cstdint>

namespace tamro {

// A colour as the fill kernels take it: r, g, b, a in 0..1.
using EffectColor = std::array<float, 4>;

struct EffectGradient {
    EffectColor top;
    EffectColor bottom;
};

// The solid colour of preset `index`; grey (0.2, 0.2, 0.2) for an index outside the table.
EffectColor SolidColorPreset(int32_t index);
// The gradient of preset `index`; (0.1, 0.1, 0.1) to (0.3, 0.3, 0.3) outside the table.
EffectGradient GradientPreset(int32_t index);

// The preset pictures' file names, by image preset index.
inline constexpr std::array<const char*, 13> kImagePresetFiles = {
    "bg_abstract_waves.jpg", "bg_geometric_mesh.jpg", "bg_soft_bokeh.jpg",
    "bg_minimal_shapes.jpg", "bg_nature_leaves.jpg",  "bg_concrete_wall.jpg",
    "bg_office_blur.jpg",    "bg_bookshelf.jpg",      "bg_meeting_room.jpg",
    "bg_startup_office.jpg", "bg_executive_desk.jpg", "bg_brick_loft.jpg",
    "bg_city_view.jpg",
};

// Blur radius in pixels of a blur intensity: light 8, medium 15, strong 25; medium otherwise.
int32_t BlurRadius(int32_t intensity);

// How often segmentation runs for a quality setting (Auto starts at 3).
int32_t SkipInterval(int32_t quality);

}  // namespace tamro
