// texture.h: bringing a texture from a 3DF file into the current board's memory.
#pragma once

#include <cstdint>

// Loads `filename` into texture memory and writes its handle to *handle. Does not return
// on failure: the message goes through fatal_exit.
void load_texture(const char *filename, int32_t *handle);

// The one failure path once the library is started: the message (printf-style) on
// standard error, one grGlideShutdown, exit status -1.
[[noreturn]] void fatal_exit(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
