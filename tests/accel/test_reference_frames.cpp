// test_reference_frames.cpp: the program's own frames (its animation, draw_face and
// render state) drawn by the stages and by the reference, pixel for pixel; the real demo's
// frames against golden pictures are tests/frames' business. The triangles that
// draw_face submits are caught on their way to the library (linked with --wrap).
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
        test_texture(&textures[1], 6, 7, 8, marble);
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

void queue(Pipeline *p, Board *board, const std::vector<Draw> &draws, size_t from, size_t to)
{
    for (size_t i = from; i < to; i++) {
        board->state = draws[i].state;
        pipeline_triangle(p, board, draws[i].v[0], draws[i].v[1], draws[i].v[2]);
    }
}

// Frames 0 and 37 against the reference (that each SIMD target draws the demo's frames
// alike is tests/frames' business), with more workers than cores and batches taking turns
// with them: the thread count must not change a pixel. A swap hands frame A over and the
// program goes on queuing frame B into the other buffer; the wait for A's ticket must
// return with all of A drawn. B's first commands stay in the batch being filled, so the
// wait is the only thing that holds A's last batches back; a wait that returns early shows
// only when the workers are slow, hence each thread count twice.
TEST(Frame, ProgramFramesMatchTheReferenceAndWaitForTheirTicket)
{
    constexpr size_t QUEUED_BEFORE_WAIT = 100;
    const std::vector<Draw> a = program_frame(0), b = program_frame(37);
    ASSERT_GT(a.size(), 10000u);
    const Image want_a = reference_image(a), want_b = reference_image(b);
    for (int threads : {1, 3, 8, 1, 3, 8}) {
        Board *board = test_board_new();
        Pipeline *p = pipeline_create(threads, threads);
        pipeline_clear(p, board, 0, 0.0f);
        queue(p, board, a, 0, a.size());
        const uint64_t ticket = pipeline_submit(p);
        std::swap(board->fb.back, board->fb.front);
        pipeline_clear(p, board, 0, 0.0f);
        queue(p, board, b, 0, QUEUED_BEFORE_WAIT);
        pipeline_wait(p, ticket);
        Image shown = want_a; // the depth buffer is B's by now: colour is compared only
        shown.color.assign(board->fb.front, board->fb.front + SCREEN_W * SCREEN_H);
        EXPECT_EQ(count_differences(shown, want_a), 0) << threads << " threads";
        queue(p, board, b, QUEUED_BEFORE_WAIT, b.size());
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
