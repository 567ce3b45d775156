#pragma once

// The runtime's C interface, reached through the library loaded at run time. Only this folder
// includes the runtime's header.
#if __has_include(<onnxruntime_c_api.h>)
#include <onnxruntime_c_api.h>
#define TAMRO_HAVE_ONNXRUNTIME 1
#else
#define TAMRO_HAVE_ONNXRUNTIME 0
#endif

#if TAMRO_HAVE_ONNXRUNTIME
namespace tamro::platform::ml {

// The function table of version 23, from the library loaded once for the process. Throws
// std::runtime_error naming what failed when the library cannot be loaded.
const OrtApi& OnnxApi();

// Throws OnnxError with the status's message when `status` reports a failure; releases it.
void Check(OrtStatus* status);

}  // namespace tamro::platform::ml
#endif
