// test_frame.cpp: the program's own frames (its animation, draw_face and render state)
// through the pipeline, against the reference and across thread counts. The triangles
// that draw_face submits are caught on their way to the library (linked with --wrap).
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

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

TEST(Frame, ProgramFramesMatchTheReferenceForEveryTargetAndThreadCount)
{
    for (int frame : {0, 37}) {
        const std::vector<Draw> draws = program_frame(frame);
        ASSERT_GT(draws.size(), 10000u);
        const Image want = reference_image(draws);
        for (int64_t target : test_targets()) {
            simd_select(target);
            for (int threads : {0, 1, 2, 5})
                EXPECT_EQ(count_differences(pipeline_image(draws, threads), want), 0)
                    << "frame " << frame << ", " << simd_name(target) << ", " << threads
                    << " threads";
        }
        simd_select(simd_best());
    }
}

// A swap hands frame A over and the program goes on queuing frame B into the other
// buffer; the wait for A's ticket must return with all of A drawn. B's first commands
// stay in the batch being filled, so the wait is the only thing that holds A's last
// batches back.
TEST(Frame, SubmittedFrameIsCompleteWhileTheNextIsQueued)
{
    constexpr size_t QUEUED_BEFORE_WAIT = 100;
    const std::vector<Draw> a = program_frame(0), b = program_frame(37);
    const Image want_a = reference_image(a), want_b = reference_image(b);
    for (int threads : {0, 1, 2, 5}) {
        Board *board = test_board_new();
        Pipeline *p = pipeline_create(threads, threads);
        pipeline_clear(p, board, 0, 0.0f);
        for (const Draw &d : a) {
            board->state = d.state;
            pipeline_triangle(p, board, d.v[0], d.v[1], d.v[2]);
        }
        const uint64_t ticket = pipeline_submit(p);
        std::swap(board->fb.back, board->fb.front);
        pipeline_clear(p, board, 0, 0.0f);
        for (size_t i = 0; i < QUEUED_BEFORE_WAIT; i++) {
            board->state = b[i].state;
            pipeline_triangle(p, board, b[i].v[0], b[i].v[1], b[i].v[2]);
        }
        pipeline_wait(p, ticket);
        Image shown = want_a; // the depth buffer is B's by now: colour is compared only
        shown.color.assign(board->fb.front, board->fb.front + SCREEN_W * SCREEN_H);
        EXPECT_EQ(count_differences(shown, want_a), 0) << threads << " threads";
        for (size_t i = QUEUED_BEFORE_WAIT; i < b.size(); i++) {
            board->state = b[i].state;
            pipeline_triangle(p, board, b[i].v[0], b[i].v[1], b[i].v[2]);
        }
        pipeline_finish(p);
        EXPECT_EQ(count_differences(test_board_image(*board), want_b), 0) << threads << " threads";
        pipeline_destroy(p);
        test_board_free(board);
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
