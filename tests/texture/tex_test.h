// tex_test.h: what the texture tests share: a scratch folder, files written byte for
// byte, and a texture memory of the library's own, decoded as the sampler sees it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../common/run.h"
#include "texture.h"

// A fresh folder for this process's files, removed at exit.
const std::string &scratch_dir();
std::string scratch_path(const std::string &name);

// A texture memory on the heap (the record is large), initialised, and released with
// its textures when it goes.
struct TexMemoryRelease {
    void operator()(TexMemory *mem) const;
};
using TexMemoryPtr = std::unique_ptr<TexMemory, TexMemoryRelease>;
TexMemoryPtr new_tex_memory(uint32_t capacity, int32_t handle_base);

// Allocates with the program's values for info's header; -1 when refused.
int32_t allocate_like_program(TexMemory *mem, const Gu3dfHeader &h);

// One decoded texel as bytes R, G, B, A.
struct Rgba {
    int r, g, b, a;
};
Rgba texel_at(const MipLevel &lv, int x, int y);
