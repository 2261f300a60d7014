// test_geometry.cpp: rotation and projection at worked values, and the animation's phases.
// draw_face hands its triangles to the recording stand-in of the library, whose lines are
// read back here: what the program computed is what a library would have received.
#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

#include "../common/run.h"
#include "driver/animation.h"
#include "geometry/geometry.h"

namespace
{

struct Seen {
    float f[15]; // GrVertex fields in order: x y z r g b ooz a oow, sow tow oow, sow tow oow
};

// A folder and a record file for one test; the stand-in writes where RECORD_FILE says.
struct Recording {
    std::string dir;
    std::string file;
};

Recording start_recording()
{
    Recording r = {make_temp_dir(), ""};
    r.file = r.dir + "/calls";
    setenv("RECORD_FILE", r.file.c_str(), 1);
    return r;
}

void stop_recording(const Recording &r)
{
    unsetenv("RECORD_FILE");
    remove_dir(r.dir);
}

std::vector<std::vector<Seen>> triangles(const Recording &r)
{
    std::vector<std::vector<Seen>> out;
    for (const std::string &line : read_lines(r.file)) {
        std::istringstream in(line);
        std::string call;
        in >> call;
        if (call != "guDrawTriangleWithClip")
            continue;
        std::vector<Seen> tri(3);
        for (Seen &c : tri)
            for (float &f : c.f)
                in >> f;
        out.push_back(tri);
    }
    return out;
}

// One face over three given vertices, with texture coordinates.
struct OneFace {
    MeshVertex v[3];
    MeshFace f;
    Point3 turned_x[3], turned[3];
    Corner corners[3];
    Mesh mesh;
};

void make_face(OneFace *o, const Point3 (&p)[3])
{
    for (int i = 0; i < 3; i++)
        o->v[i] = MeshVertex{p[i].x, p[i].y, p[i].z, 16.0f * (float)(i + 1), 32.0f * (float)i};
    o->f = MeshFace{{0, 1, 2}};
    o->mesh = Mesh{3, 1, o->v, &o->f, o->turned_x, o->turned, o->corners};
}

TEST(Rotation, ZeroAndQuarterTurn)
{
    const MeshVertex src[3] = {{0, 1, 0, 0, 0}, {0, 0, 1, 0, 0}, {1, 0, 0, 0, 0}};
    Point3 once[3], twice[3];
    rotate_x(src, once, 0.0f, 3);
    rotate_y(once, twice, 0.0f, 3);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(twice[i].x, src[i].x);
        EXPECT_EQ(twice[i].y, src[i].y);
        EXPECT_EQ(twice[i].z, src[i].z);
    }

    const float quarter = (float)M_PI_2;
    rotate_x(src, once, quarter, 3);
    EXPECT_NEAR(once[0].x, 0, 1e-6); // +y turns toward -z
    EXPECT_NEAR(once[0].y, 0, 1e-6);
    EXPECT_NEAR(once[0].z, -1, 1e-6);
    EXPECT_NEAR(once[1].y, 1, 1e-6); // +z toward +y
    EXPECT_NEAR(once[1].z, 0, 1e-6);
    EXPECT_EQ(once[2].x, 1.0f); // x stays

    const Point3 ys[2] = {{1, 0, 0}, {0, 0, 1}};
    Point3 out[2];
    rotate_y(ys, out, quarter, 2);
    EXPECT_NEAR(out[0].x, 0, 1e-6); // +x turns toward -z
    EXPECT_NEAR(out[0].z, -1, 1e-6);
    EXPECT_NEAR(out[1].x, 1, 1e-6); // +z toward +x
    EXPECT_NEAR(out[1].z, 0, 1e-6);
}

TEST(Rotation, NoCountWritesNothing)
{
    const MeshVertex src[1] = {{1, 2, 3, 0, 0}};
    Point3 dst[1] = {{9, 9, 9}};
    rotate_x(src, dst, 1.0f, 0);
    rotate_x(src, dst, 1.0f, -5);
    const Point3 p[1] = {{1, 2, 3}};
    rotate_y(p, dst, 1.0f, -1);
    EXPECT_EQ(dst[0].x, 9.0f);
    EXPECT_EQ(dst[0].y, 9.0f);
    EXPECT_EQ(dst[0].z, 9.0f);
}

TEST(Projection, CentreShadeDepthAndTextureValues)
{
    Recording rec = start_recording();
    OneFace o;
    // Corner 0 on the axis at z 0, corner 1 one unit back, corner 2 1.5 units forward.
    make_face(&o, {{0, 0, 0}, {1, 0, 1}, {0, 0.5f, -1.5f}});
    for (int i = 0; i < 3; i++)
        o.turned[i] = Point3{o.v[i].x, o.v[i].y, o.v[i].z};
    project_vertices(&o.mesh, o.turned, Point3{0, 0, 4});
    draw_face(o.mesh, 0);
    const auto tris = triangles(rec);
    ASSERT_EQ(tris.size(), 1u);
    const Seen &c0 = tris[0][0], &c1 = tris[0][1], &c2 = tris[0][2];

    EXPECT_FLOAT_EQ(c0.f[0], 320); // (0, 0, z) lands on the screen centre
    EXPECT_FLOAT_EQ(c0.f[1], 240);
    EXPECT_FLOAT_EQ(c0.f[3], 112); // shade at z = 0, the same in r, g, b
    EXPECT_FLOAT_EQ(c0.f[4], 112);
    EXPECT_FLOAT_EQ(c0.f[5], 112);
    EXPECT_FLOAT_EQ(c0.f[6], 65535.0f / 1300.0f); // d = 4 * 200 + 500
    EXPECT_FLOAT_EQ(c0.f[8], 0.0625f);
    EXPECT_FLOAT_EQ(c0.f[9], 1.0f); // s 16 / 16
    EXPECT_FLOAT_EQ(c0.f[10], 0.0f);

    // Shade is the rotated depth alone, unclamped both ways: -8 behind, 292 in front.
    EXPECT_FLOAT_EQ(c1.f[3], -8);
    EXPECT_FLOAT_EQ(c2.f[3], 292);
    // Both axes use the same scale, 300 * 320, over d.
    EXPECT_FLOAT_EQ(c1.f[0], 320 + 96000.0f / 1500.0f);
    EXPECT_FLOAT_EQ(c1.f[1], 240);
    EXPECT_FLOAT_EQ(c2.f[1], 240 + 0.5f * 96000.0f / 1000.0f);
    EXPECT_FLOAT_EQ(c2.f[9], 3.0f);
    EXPECT_FLOAT_EQ(c2.f[10], 4.0f);
    // z, a, unit 0's oow and all of unit 1 stay 0.
    for (const Seen &c : tris[0])
        for (int k : {2, 7, 11, 12, 13, 14})
            EXPECT_EQ(c.f[k], 0.0f) << "field " << k;
    stop_recording(rec);
}

TEST(Projection, CornerAtOrBehindTheEyeIsNotSubmitted)
{
    Recording rec = start_recording();
    OneFace o;
    make_face(&o, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
    for (float z : {-2.5f, -3.0f, -100.0f}) { // d = 0, d < 0, far behind
        for (int i = 0; i < 3; i++)
            o.turned[i] = Point3{o.v[i].x, o.v[i].y, 0};
        o.turned[1].z = z;
        project_vertices(&o.mesh, o.turned, Point3{0, 0, 0});
        draw_face(o.mesh, 0);
    }
    EXPECT_EQ(triangles(rec).size(), 0u);

    // Just in front of the eye plane, and one vertex used three times: both still drawn.
    o.turned[1].z = -2.49f;
    project_vertices(&o.mesh, o.turned, Point3{0, 0, 0});
    draw_face(o.mesh, 0);
    o.f = MeshFace{{1, 1, 1}};
    project_vertices(&o.mesh, o.turned, Point3{0, 0, 0});
    draw_face(o.mesh, 0);
    EXPECT_EQ(triangles(rec).size(), 2u);
    stop_recording(rec);
}

// The phases grow without bound (no wrap to 2 pi, which would change the picture once a
// phase passes it) and the copies stay in front of the viewer.
TEST(Animation, PhasesAreNotWrapped)
{
    unsetenv("RECORD_FILE");
    MeshVertex v[1] = {{0, 0, 1, 0, 0}};
    Point3 tx[1], t[1];
    Corner c[1];
    Mesh mesh = {1, 0, v, nullptr, tx, t, c};
    Animation anim;
    animation_start(&anim);
    for (int n = 0; n < 5000; n++) {
        draw_copies(&anim, &mesh, 1, 2);
        animation_advance(&anim);
    }
    EXPECT_GT(anim.phase_a, 49.0f);
    EXPECT_GT(anim.phase_c, 99.0f);
    EXPECT_GT(anim.spin_base, 149.0f);
    for (const Point3 &o : anim.offset) {
        EXPECT_GE(o.z, 1.5f);
        EXPECT_LE(o.z, 10.5f);
    }
}

} // namespace
