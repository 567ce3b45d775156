#pragma once

#include <string_view>

#include "platform/gfx/Kernel.h"

namespace tamro::shaders {

// The kernels the device can "compile", by the names the engine's classes ask for. Null when
// there is none of that name.
const gfx::Kernel* FindKernel(std::string_view name);

}  // namespace tamro::shaders
