#pragma once

namespace tamro::gfx {

// The CPU graphics device and its textures; the session only passes them between components.
class Device;
class Texture;

}  // namespace tamro::gfx
