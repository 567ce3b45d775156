#pragma once

// What libtamro exports: the public API and the C entry points. Everything else is hidden.
#define TAMRO_API __attribute__((visibility("default")))
