#pragma once

#include <cstdint>

namespace tamro {

// Focus window in desktop pixels; every field is even.
struct FocusRect {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;

    friend bool operator==(const FocusRect&, const FocusRect&) = default;
};

}  // namespace tamro
