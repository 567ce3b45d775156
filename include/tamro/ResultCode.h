#pragma once

#include <cstdint>

namespace tamro {

// 32-bit result codes, with the values the platform logs and callers already know.
using ResultCode = int32_t;

inline constexpr ResultCode kOk = 0;
inline constexpr ResultCode kFalse = 1;
inline constexpr ResultCode kFail = static_cast<ResultCode>(0x80004005);
inline constexpr ResultCode kInvalidArg = static_cast<ResultCode>(0x80070057);
inline constexpr ResultCode kPointer = static_cast<ResultCode>(0x80004003);
inline constexpr ResultCode kOutOfMemory = static_cast<ResultCode>(0x8007000E);
inline constexpr ResultCode kClassNotAvailable = static_cast<ResultCode>(0x80040111);
// The two codes by which a call reports that the handler's object has gone away.
inline constexpr ResultCode kDisconnected = static_cast<ResultCode>(0x80010108);
inline constexpr ResultCode kServerUnavailable = static_cast<ResultCode>(0x800706BA);

constexpr bool Succeeded(ResultCode code) {
    return code >= 0;
}
constexpr bool Failed(ResultCode code) {
    return code < 0;
}

}  // namespace tamro
