// test_frame.cpp: the program's own frames (its animation, draw_face and render state)
// through the pipeline, against the reference and across thread counts. The triangles
// that draw_face submits are caught on their way to the library (linked with --wrap).
#include <gtest/gtest.h>

#include <cstdint>

#include "driver/animation.h"
#include "reference.h"
#include "scene/mesh.h"

namespace
{

std::vector<Draw> *capture = nullptr;
RenderState capture_state;
TestTexture textures[2];

uint32_t marble(int level, int x, int y)
{
    const uint32_t v = (uint32_t)((x * 13) ^ (y * 7)) + (uint32_t)level * 40;
    return 0xff000000u | (v & 255) | ((v * 3) & 255) << 8 | ((x + y) * 5 & 255) << 16;
}

uint32_t rings(int level, int x, int y)
{
    const int d = (x - 32) * (x - 32) + (y - 32) * (y - 32);
    return 0xff000000u | (uint32_t)(d & 255) << 8 | (uint32_t)(level * 30) << 16 | 0x40u;
}

// The program's frame up to the swap: its render state, texture a on even copies and b
// on odd ones, every face it submits.
std::vector<Draw> program_frame(int frame)
{
    static Mesh mesh;
    static bool loaded = false;
    if (!loaded) {
        char why[256];
        EXPECT_EQ(load_mesh_file(ASSETS_DIR "/obj.dat", "obj.dat", &mesh, why, sizeof why),
                  MESH_OK);
        test_texture(&textures[0], 8, 8, 9, marble);
        test_texture(&textures[1], 6, 7, 8, rings);
        loaded = true;
    }
    Animation anim;
    animation_start(&anim);
    for (int f = 0; f < frame; f++) {
        draw_copies(&anim, &mesh, -1, -1); // advances the phases; nothing is captured
        animation_advance(&anim);
    }
    std::vector<Draw> draws;
    capture_state = RenderState{};
    capture_state.depth_mode = GR_DEPTHBUFFER_ZBUFFER;
    capture_state.depth_func = GR_CMP_GREATER;
    capture_state.depth_mask = true;
    capture = &draws;
    draw_copies(&anim, &mesh, 0, 1);
    capture = nullptr;
    return draws;
}

TEST(Frame, ProgramFramesMatchTheReferenceForEveryThreadCount)
{
    for (int frame : {0, 37}) {
        const std::vector<Draw> draws = program_frame(frame);
        ASSERT_GT(draws.size(), 10000u);
        const Image want = reference_image(draws);
        for (int threads : {0, 1, 2, 5})
            EXPECT_EQ(count_differences(pipeline_image(draws, threads), want), 0)
                << "frame " << frame << ", " << threads << " threads";
    }
}

} // namespace

extern "C" void __wrap_guTexSource(GrMipMapId_t mmid)
{
    capture_state.texture = mmid == 0 || mmid == 1 ? &textures[mmid].tex : nullptr;
}

extern "C" void __wrap_guDrawTriangleWithClip(const GrVertex *a, const GrVertex *b,
                                              const GrVertex *c)
{
    if (capture)
        capture->push_back(Draw{{*a, *b, *c}, capture_state});
}
