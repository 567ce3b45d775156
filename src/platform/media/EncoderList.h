#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/media/MediaTypes.h"

namespace tamro::platform::media {

// Which encoders an enumeration returns: software ones (synchronous or asynchronous) and/or
// hardware ones; sort-and-filter puts hardware ones first.
enum EnumFlags : uint32_t {
    kEnumSync = 0x1,
    kEnumAsync = 0x2,
    kEnumHardware = 0x4,
    kEnumSortAndFilter = 0x40,
};

// An opened H.264 encoder, asked which uncompressed formats it takes for a given output.
// Threading: one thread at a time.
class EncoderTransform {
  public:
    virtual ~EncoderTransform() = default;

    // Opens the encoder for this H.264 output (size, rate, bit rate); fails when it cannot.
    virtual ResultCode SetOutputType(const MediaType& type) = 0;
    // The subtype of input type `index` in the encoder's order of preference; kNoMoreTypes past
    // the last one, kNotInitialized before an output type is set.
    virtual ResultCode GetInputAvailableType(uint32_t index, Guid* subtype) = 0;
};

// One encoder found by an enumeration, not yet activated.
// Threading: one thread at a time.
class EncoderActivation {
  public:
    virtual ~EncoderActivation() = default;

    // Nothing when the encoder has no friendly name.
    virtual std::optional<std::string> FriendlyName() const = 0;
    virtual bool IsHardware() const = 0;
    // Non-zero when the encoder is a hardware one that works on a GPU device handed to it.
    virtual uint32_t AcceptsGpuDevice() const = 0;
    virtual ResultCode Activate(std::unique_ptr<EncoderTransform>* transform) = 0;
};

// The machine's H.264 encoders.
// Threading: Enumerate may be called from any thread.
class EncoderList {
  public:
    virtual ~EncoderList() = default;

    // Fails, or succeeds with an empty list, when there is none of the kinds asked for.
    virtual ResultCode Enumerate(uint32_t flags,
                                 std::vector<std::unique_ptr<EncoderActivation>>* found) const = 0;

    // This platform's encoders (libavcodec's).
    static std::shared_ptr<const EncoderList> CreateDefault();
};

}  // namespace tamro::platform::media
