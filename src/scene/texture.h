// texture.h: bringing a texture from a 3DF file into the current board's memory.
#pragma once

#include <cstdint>

// Loads `filename` into texture memory and writes its handle to *handle. Does not return
// on failure: the message goes through fatal_exit.
void load_texture(const char *filename, int32_t *handle);
