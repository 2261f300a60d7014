// test_mesh.cpp: the mesh file reader, called directly: what it accepts, what it refuses
// and with which line, and that counts it cannot hold cost nothing; and the shipped mesh.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "../common/run.h"
#include "scene/mesh.h"

struct Parsed {
    MeshStatus status;
    std::string why;
    Mesh mesh;
};

static Parsed parse(const std::string &text)
{
    Parsed p = {};
    char why[256] = "";
    p.status = parse_mesh(text.c_str(), text.size(), "obj.dat", &p.mesh, why, sizeof why);
    p.why = why;
    return p;
}

// Line breaks and spacing carry no meaning; numbers in every form scanf takes; a face
// may name one vertex three times; nothing after the last face is read.
TEST(MeshFile, Accepted)
{
    Parsed p = parse("\r\n 2\n1\t0 +1\n0\r\n0 0 -0.5 2.5e-1 1E1 .5 -7.\v0\f0 0 this is not read");
    ASSERT_EQ(p.status, MESH_OK) << p.why;
    ASSERT_EQ(p.mesh.vertex_count, 2);
    ASSERT_EQ(p.mesh.face_count, 1);
    const MeshVertex &u = p.mesh.vertices[0], &v = p.mesh.vertices[1];
    EXPECT_EQ(std::vector<float>({u.x, u.y, v.x, v.y, v.z, v.s, v.t}),
              std::vector<float>({0, 1, -0.5f, 0.25f, 10, 0.5f, -7}));
    EXPECT_EQ(p.mesh.faces[0].v[2], 0);
    free_mesh(&p.mesh);
}

TEST(MeshFile, RefusedWithOneLineSayingWhatAndWhere)
{
    const std::string three = " 0 0 0 0 0  1 0 0 0 0  0 1 0 0 0 ";
    const std::string vc = "the vertex count is missing or not a whole number",
                      fc = "the face count is missing or not a whole number";
    const std::pair<std::string, std::string> cases[] = {
        {"  \n", vc},
        {"abc", vc},
        {"99999999999 0", vc},
        {"3.5 1", fc},
        {"3", fc},
        {"-1 0", "the vertex count is negative (-1)"},
        {"0 -2", "the face count is negative (-2)"},
        {"0 2000000000 0 0 0",
         "0 vertices and 2000000000 faces need more numbers than the file holds"},
        // Checked against the file's size before anything is allocated.
        {"2147483647 2147483647",
         "2147483647 vertices and 2147483647 faces need more numbers than the file holds"},
        {"1 0 1 2 3 4      ", "vertex 0 of 1: value 5 of 5 is missing or not a number"},
        {"2 0 1 2 3 4 5 6 x 8 9 10 11", "vertex 1 of 2: value 2 of 5 is missing or not a number"},
        {"3 1" + three + "0 1    ", "face 0 of 1: index 3 of 3 is missing or not a whole number"},
        // As %d would: "1.5" gives 1, then ".5" is no whole number.
        {"3 1" + three + "0 1.5 2", "face 0 of 1: index 3 of 3 is missing or not a whole number"},
        {"3 2" + three + "0 1 2 2 1 3", "face 1 of 2: index 3 of 3 is 3, outside 0..2"},
        {"3 1" + three + "-1 1 2", "face 0 of 1: index 1 of 3 is -1, outside 0..2"},
        {"0 1 0 0 0", "face 0 of 1: index 1 of 3 is 0, but there are no vertices"},
    };
    for (const auto &c : cases) {
        Parsed p = parse(c.first);
        EXPECT_EQ(p.status, MESH_MALFORMED) << "text: " << c.first;
        EXPECT_EQ(p.why, "obj.dat: " + c.second + "\n") << "text: " << c.first;
        EXPECT_EQ(p.mesh.vertices, nullptr) << "a refused mesh keeps nothing";
    }
}

// The shipped obj.dat is what tools/meshgen makes, byte for byte (what the demo shows of
// it is checked by the frame pictures).
TEST(MeshFile, ShippedObjDatIsWhatMeshgenMakes)
{
    const std::string dir = make_temp_dir();
    const Child run = run_to_end({.exe = MESHGEN_PATH, .args = {dir + "/obj.dat"}, .in = DEV_NULL});
    ASSERT_EQ(ended_with(run), 0) << run.err_text;
    EXPECT_EQ(read_file(dir + "/obj.dat"), read_file(std::string(ASSETS_DIR) + "/obj.dat"))
        << "assets/obj.dat is not what meshgen makes now: regenerate it";
    remove_dir(dir);
}
