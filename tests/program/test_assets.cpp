// test_assets.cpp: the shipped obj.dat is what tools/meshgen makes, byte for byte, and is
// a mesh the demo can show: within reach of its origin, textured a few times around.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

#include "../common/run.h"
#include "scene/mesh.h"

namespace
{

TEST(Assets, ObjDatIsWhatMeshgenMakes)
{
    const std::string dir = make_temp_dir();
    const std::string a = dir + "/a.dat", b = dir + "/b.dat";
    for (const std::string &out : {a, b}) {
        const Child run =
            run_to_end({.exe = MESHGEN_PATH, .args = {out}, .in = DEV_NULL, .out = PIPE});
        ASSERT_TRUE(exited_with(run, 0)) << describe_end(run) << run.err_text;
    }
    const std::string made = read_file(a);
    EXPECT_EQ(made, read_file(b)) << "two runs differ";
    EXPECT_EQ(made, read_file(std::string(ASSETS_DIR) + "/obj.dat"))
        << "assets/obj.dat is not what meshgen makes now: regenerate it";
    remove_dir(dir);
}

TEST(Assets, ObjDatIsAShowableMesh)
{
    Mesh m = {};
    char why[256] = "";
    ASSERT_EQ(load_mesh_file(ASSETS_DIR "/obj.dat", "obj.dat", &m, why, sizeof why), MESH_OK)
        << why;
    EXPECT_GE(m.face_count, 300);
    EXPECT_LE(m.face_count, 5000);
    float s_lo = 1e30f, s_hi = -1e30f, t_lo = 1e30f, t_hi = -1e30f, r_hi = 0;
    for (int i = 0; i < m.vertex_count; i++) {
        const MeshVertex &v = m.vertices[i];
        r_hi = std::max(r_hi, std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z));
        s_lo = std::min(s_lo, v.s);
        s_hi = std::max(s_hi, v.s);
        t_lo = std::min(t_lo, v.t);
        t_hi = std::max(t_hi, v.t);
    }
    EXPECT_LE(r_hi, 1.2f);
    EXPECT_GE(r_hi, 0.8f) << "too small to see";
    // 256 texture-space units span the texture once.
    EXPECT_GE((s_hi - s_lo) / 256.0f, 2.0f);
    EXPECT_LE((s_hi - s_lo) / 256.0f, 8.0f);
    EXPECT_GE((t_hi - t_lo) / 256.0f, 1.0f);
    // Every vertex is used, and no face is degenerate in its indices.
    std::vector<int> used(m.vertex_count);
    for (int f = 0; f < m.face_count; f++) {
        const MeshFace &face = m.faces[f];
        EXPECT_TRUE(face.v[0] != face.v[1] && face.v[1] != face.v[2] && face.v[0] != face.v[2]);
        for (int k : face.v)
            used[k]++;
    }
    EXPECT_EQ(std::count(used.begin(), used.end(), 0), 0);
    free_mesh(&m);
}

} // namespace
