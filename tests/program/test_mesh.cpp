// test_mesh.cpp: the mesh file reader, called directly: what it accepts, what it refuses
// and with which line, and that counts it cannot hold cost nothing; and the shipped mesh.
#include <gtest/gtest.h>
#include <string>

#include "../common/run.h"
#include "scene/mesh.h"

namespace
{

constexpr const char *SMALLEST = "3 1 0 0 0 0 0 1 0 0 256 0 0 1 0 0 256 0 1 2";

struct Parsed {
    MeshStatus status;
    std::string why;
    Mesh mesh;
};

Parsed parse(const std::string &text)
{
    Parsed p = {};
    char why[256] = "";
    p.status = parse_mesh(text.c_str(), text.size(), "obj.dat", &p.mesh, why, sizeof why);
    p.why = why;
    return p;
}

TEST(MeshFile, SmallestFileIsOneTriangle)
{
    Parsed p = parse(SMALLEST);
    ASSERT_EQ(p.status, MESH_OK) << p.why;
    EXPECT_EQ(p.mesh.vertex_count, 3);
    EXPECT_EQ(p.mesh.face_count, 1);
    EXPECT_EQ(p.mesh.vertices[1].x, 1.0f);
    EXPECT_EQ(p.mesh.vertices[1].s, 256.0f);
    EXPECT_EQ(p.mesh.vertices[2].y, 1.0f);
    EXPECT_EQ(p.mesh.vertices[2].t, 256.0f);
    EXPECT_EQ(p.mesh.faces[0].v[0], 0);
    EXPECT_EQ(p.mesh.faces[0].v[1], 1);
    EXPECT_EQ(p.mesh.faces[0].v[2], 2);
    // The working arrays are there to be written.
    ASSERT_NE(p.mesh.turned_x, nullptr);
    ASSERT_NE(p.mesh.turned, nullptr);
    p.mesh.turned[2] = Point3{1, 2, 3};
    free_mesh(&p.mesh);
}

TEST(MeshFile, LineBreaksAndSpacingCarryNoMeaning)
{
    const std::string broken = "\r\n 3\n1\t0 0\n0\r\n0 0 1 0 0\v256 0 0 1 0 0 256\f0\n\n1\n2\n";
    Parsed a = parse(SMALLEST), b = parse(broken);
    ASSERT_EQ(a.status, MESH_OK);
    ASSERT_EQ(b.status, MESH_OK) << b.why;
    ASSERT_EQ(b.mesh.vertex_count, 3);
    ASSERT_EQ(b.mesh.face_count, 1);
    for (int i = 0; i < 3; i++) {
        const MeshVertex &u = a.mesh.vertices[i], &v = b.mesh.vertices[i];
        EXPECT_EQ(u.x, v.x);
        EXPECT_EQ(u.y, v.y);
        EXPECT_EQ(u.z, v.z);
        EXPECT_EQ(u.s, v.s);
        EXPECT_EQ(u.t, v.t);
        EXPECT_EQ(a.mesh.faces[0].v[i], b.mesh.faces[0].v[i]);
    }
    free_mesh(&a.mesh);
    free_mesh(&b.mesh);
}

TEST(MeshFile, NumbersInEveryFormScanfAccepts)
{
    Parsed p = parse("+1 +1 -0.5 2.5e-1 1E1 .5 -7. 0 0 0");
    ASSERT_EQ(p.status, MESH_OK) << p.why;
    const MeshVertex &v = p.mesh.vertices[0];
    EXPECT_EQ(v.x, -0.5f);
    EXPECT_EQ(v.y, 0.25f);
    EXPECT_EQ(v.z, 10.0f);
    EXPECT_EQ(v.s, 0.5f);
    EXPECT_EQ(v.t, -7.0f);
    free_mesh(&p.mesh);
}

TEST(MeshFile, EmptyMeshAndRepeatedCornersAndTrailingText)
{
    Parsed empty = parse("0 0");
    ASSERT_EQ(empty.status, MESH_OK) << empty.why;
    EXPECT_EQ(empty.mesh.vertex_count, 0);
    EXPECT_EQ(empty.mesh.face_count, 0);
    free_mesh(&empty.mesh);

    Parsed no_faces = parse("1 0 1 2 3 4 5\n");
    ASSERT_EQ(no_faces.status, MESH_OK) << no_faces.why;
    EXPECT_EQ(no_faces.mesh.vertices[0].t, 5.0f);
    free_mesh(&no_faces.mesh);

    // A face may name one vertex three times; nothing after the last face is read.
    Parsed repeated = parse("1 1 0 0 0 0 0 0 0 0 this is not read");
    ASSERT_EQ(repeated.status, MESH_OK) << repeated.why;
    EXPECT_EQ(repeated.mesh.faces[0].v[2], 0);
    free_mesh(&repeated.mesh);
}

TEST(MeshFile, RefusedWithOneLineSayingWhatAndWhere)
{
    const std::string three = " 0 0 0 0 0  1 0 0 0 0  0 1 0 0 0 ";
    const struct {
        std::string text;
        std::string why;
    } cases[] = {
        {"", "obj.dat: the vertex count is missing or not a whole number\n"},
        {"  \n", "obj.dat: the vertex count is missing or not a whole number\n"},
        {"abc", "obj.dat: the vertex count is missing or not a whole number\n"},
        {"3.5 1", "obj.dat: the face count is missing or not a whole number\n"},
        {"99999999999 0", "obj.dat: the vertex count is missing or not a whole number\n"},
        {"3", "obj.dat: the face count is missing or not a whole number\n"},
        {"3 x", "obj.dat: the face count is missing or not a whole number\n"},
        {"-1 0", "obj.dat: the vertex count is negative (-1)\n"},
        {"0 -2", "obj.dat: the face count is negative (-2)\n"},
        {"2000000000 1 0 0 0",
         "obj.dat: 2000000000 vertices and 1 faces need more numbers than the file holds\n"},
        {"0 2000000000 0 0 0",
         "obj.dat: 0 vertices and 2000000000 faces need more numbers than the file holds\n"},
        // Checked against the file's size before anything is allocated.
        {"2147483647 2147483647",
         "obj.dat: 2147483647 vertices and 2147483647 faces need more numbers than the file "
         "holds\n"},
        {"1 0 1 2 3 4      ", "obj.dat: vertex 0 of 1: value 5 of 5 is missing or not a number\n"},
        {"2 0 1 2 3 4 5 6 x 8 9 10 11",
         "obj.dat: vertex 1 of 2: value 2 of 5 is missing or not a number\n"},
        {"3 1" + three + "0 1    ",
         "obj.dat: face 0 of 1: index 3 of 3 is missing or not a whole number\n"},
        // As %d would: "1.5" gives 1, then ".5" is no whole number.
        {"3 1" + three + "0 1.5 2", "obj.dat: face 0 of 1: index 3 of 3 is missing or not a whole "
                                    "number\n"},
        {"3 2" + three + "0 1 2 2 1 3", "obj.dat: face 1 of 2: index 3 of 3 is 3, outside 0..2\n"},
        {"3 1" + three + "-1 1 2", "obj.dat: face 0 of 1: index 1 of 3 is -1, outside 0..2\n"},
        {"0 1 0 0 0", "obj.dat: face 0 of 1: index 1 of 3 is 0, but there are no vertices\n"},
    };
    for (const auto &c : cases) {
        Parsed p = parse(c.text);
        EXPECT_EQ(p.status, MESH_MALFORMED) << "text: " << c.text;
        EXPECT_EQ(p.why, c.why) << "text: " << c.text;
        EXPECT_EQ(p.mesh.vertices, nullptr) << "a refused mesh keeps nothing";
    }
}

TEST(MeshFile, MissingFileAndUnreadableFile)
{
    Mesh m = {};
    char why[256] = "";
    EXPECT_EQ(load_mesh_file("/nonexistent/obj.dat", "obj.dat", &m, why, sizeof why),
              MESH_NOT_FOUND);
    // A folder opens but cannot be read as text.
    EXPECT_EQ(load_mesh_file("/", "obj.dat", &m, why, sizeof why), MESH_MALFORMED);
    EXPECT_STREQ(why, "obj.dat: cannot be read\n");
}

// The shipped obj.dat is what tools/meshgen makes, byte for byte (what the demo shows of
// it is checked by the frame pictures).
TEST(MeshFile, ShippedObjDatIsWhatMeshgenMakes)
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

} // namespace
