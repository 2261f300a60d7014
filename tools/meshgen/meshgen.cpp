// meshgen.cpp: makes the demo's mesh, a trefoil knot drawn as a round tube, and writes it
// in the obj.dat layout (V F, then "x y z s t" per vertex, "i j k" per face).
// Reads nothing; the output is the same, byte for byte, on every run.
//   usage: meshgen FILE   (FILE "-" writes to standard output)
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{

constexpr int SEGMENTS = 90;           // rings along the knot
constexpr int SIDES = 10;              // corners around the tube
constexpr double SCALE = 0.31;         // knot curve of radius up to 3 -> 0.93
constexpr double TUBE = 0.22;          // tube radius, model units
constexpr int REPEATS_ALONG = 6;       // texture repeats along the knot (three per loop)
constexpr int REPEATS_AROUND = 1;      // and around the tube
constexpr double TEXTURE_SPAN = 256.0; // texture-space units per repeat
constexpr double MAX_RADIUS = 1.2;     // every vertex stays this close to the origin
constexpr double TWO_PI = 6.283185307179586;

struct Vec {
    double x, y, z;
};

Vec add(Vec a, Vec b)
{
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
Vec sub(Vec a, Vec b)
{
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
Vec mul(Vec a, double k)
{
    return {a.x * k, a.y * k, a.z * k};
}
double dot(Vec a, Vec b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vec cross(Vec a, Vec b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
Vec unit(Vec a)
{
    return mul(a, 1.0 / std::sqrt(dot(a, a)));
}

// The (2,3) torus knot and its first two derivatives in u, before scaling.
Vec knot(double u)
{
    const double r = 2.0 + std::cos(3 * u);
    return {r * std::cos(2 * u), r * std::sin(2 * u), std::sin(3 * u)};
}
Vec knot_d1(double u)
{
    const double r = 2.0 + std::cos(3 * u), dr = -3 * std::sin(3 * u);
    return {dr * std::cos(2 * u) - 2 * r * std::sin(2 * u),
            dr * std::sin(2 * u) + 2 * r * std::cos(2 * u), 3 * std::cos(3 * u)};
}
Vec knot_d2(double u)
{
    const double r = 2.0 + std::cos(3 * u), dr = -3 * std::sin(3 * u), ddr = -9 * std::cos(3 * u);
    return {ddr * std::cos(2 * u) - 4 * dr * std::sin(2 * u) - 4 * r * std::cos(2 * u),
            ddr * std::sin(2 * u) + 4 * dr * std::cos(2 * u) - 4 * r * std::sin(2 * u),
            -9 * std::sin(3 * u)};
}

struct Vertex {
    Vec p;
    double s, t;
};

// Rings of SIDES + 1 vertices, SEGMENTS + 1 rings: the last ring and the last corner of
// each ring repeat the first with the texture coordinate one span on, so the texture
// wraps without a seam. The Frenet frame is a function of u alone, so the tube closes.
std::vector<Vertex> make_vertices()
{
    std::vector<Vertex> out;
    for (int i = 0; i <= SEGMENTS; i++) {
        const double u = TWO_PI * (i % SEGMENTS) / SEGMENTS;
        const Vec c = mul(knot(u), SCALE);
        const Vec t = unit(knot_d1(u));
        const Vec a = knot_d2(u);
        const Vec n = unit(sub(a, mul(t, dot(a, t))));
        const Vec b = cross(t, n);
        for (int j = 0; j <= SIDES; j++) {
            const double phi = TWO_PI * (j % SIDES) / SIDES;
            const Vec p = add(c, add(mul(n, TUBE * std::cos(phi)), mul(b, TUBE * std::sin(phi))));
            out.push_back({p, TEXTURE_SPAN * REPEATS_ALONG * i / SEGMENTS,
                           TEXTURE_SPAN * REPEATS_AROUND * j / SIDES});
        }
    }
    return out;
}

struct Face {
    int v[3];
};

std::vector<Face> make_faces()
{
    std::vector<Face> out;
    for (int i = 0; i < SEGMENTS; i++)
        for (int j = 0; j < SIDES; j++) {
            const int a = i * (SIDES + 1) + j, b = a + SIDES + 1;
            out.push_back({{a, b, b + 1}});
            out.push_back({{a, b + 1, a + 1}});
        }
    return out;
}

// The constants above must give a tube that fits and does not run through itself.
bool check_shape(const std::vector<Vertex> &verts)
{
    for (const Vertex &v : verts)
        if (std::sqrt(dot(v.p, v.p)) > MAX_RADIUS) {
            std::fprintf(stderr, "meshgen: a vertex lies %.3f from the origin\n",
                         std::sqrt(dot(v.p, v.p)));
            return false;
        }
    // Points of the centre line far apart along the knot must stay two radii apart.
    const int STEPS = 720;
    for (int i = 0; i < STEPS; i++)
        for (int k = i + STEPS / 12; k < i + STEPS - STEPS / 12; k++) {
            const Vec d = sub(knot(TWO_PI * i / STEPS), knot(TWO_PI * (k % STEPS) / STEPS));
            if (std::sqrt(dot(d, d)) * SCALE < 2.2 * TUBE) {
                std::fprintf(stderr, "meshgen: the tube runs into itself\n");
                return false;
            }
        }
    return true;
}

// Fixed decimals: the text does not depend on how the last bit of a sine rounds.
std::string format_mesh(const std::vector<Vertex> &verts, const std::vector<Face> &faces)
{
    std::string out = std::to_string(verts.size()) + " " + std::to_string(faces.size()) + "\n";
    char line[128];
    for (const Vertex &v : verts) {
        // -0.00000 would differ from 0.00000 on a machine whose sine rounds the other way.
        const double x = std::fabs(v.p.x) < 5e-6 ? 0.0 : v.p.x;
        const double y = std::fabs(v.p.y) < 5e-6 ? 0.0 : v.p.y;
        const double z = std::fabs(v.p.z) < 5e-6 ? 0.0 : v.p.z;
        std::snprintf(line, sizeof line, "%.5f %.5f %.5f %.2f %.2f\n", x, y, z, v.s, v.t);
        out += line;
    }
    for (const Face &f : faces) {
        std::snprintf(line, sizeof line, "%d %d %d\n", f.v[0], f.v[1], f.v[2]);
        out += line;
    }
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: meshgen FILE   (FILE - for standard output)\n");
        return 2;
    }
    const std::vector<Vertex> verts = make_vertices();
    if (!check_shape(verts))
        return 1;
    const std::string text = format_mesh(verts, make_faces());
    const bool to_stdout = std::strcmp(argv[1], "-") == 0;
    FILE *f = to_stdout ? stdout : std::fopen(argv[1], "w");
    if (!f) {
        std::fprintf(stderr, "meshgen: cannot write %s\n", argv[1]);
        return 1;
    }
    const bool wrote = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (!(to_stdout ? std::fflush(f) == 0 : std::fclose(f) == 0) || !wrote) {
        std::fprintf(stderr, "meshgen: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
