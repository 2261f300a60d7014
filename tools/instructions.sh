#!/bin/bash
# Counts the instructions one triangle costs in each stage of the frame, with valgrind's
# callgrind: demo_bench draws FRAMES frames and then FRAMES + 6, and the difference over
# those six frames' triangles leaves start-up out (reading the mesh, loading textures).
# The bench's own untimed pixel count is listed apart. One thread, the SIMD target given
# (valgrind runs no AVX-512, so avx2 by default). Builds into build-instructions/.
# Usage: tools/instructions.sh MESH [FRAMES] [TARGET]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
mesh=${1:-}
frames=${2:-2}
target=${3:-avx2}
if [ -z "$mesh" ] || [ ! -f "$mesh" ]; then
    echo "usage: tools/instructions.sh MESH [FRAMES] [TARGET]" >&2
    exit 2
fi
mesh=$(cd "$(dirname "$mesh")" && pwd)/$(basename "$mesh")
if ! command -v valgrind >/dev/null; then
    echo "tools/instructions.sh: needs valgrind (apt-get install valgrind)" >&2
    exit 2
fi
build=$root/build-instructions
if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
ninja -C "$build" -j2 demo_bench >/dev/null

# Highway's start-up reads the time stamp counter with RDTSCP, which valgrind does not
# run; a stand-in for the one function that does lets the program start.
cat >"$build/hwy_timer.cpp" <<'EOF'
#include <cstdint>
namespace hwy::platform
{
uint64_t TimerResolution()
{
    return 1;
}
} // namespace hwy::platform
EOF
c++ -shared -fPIC -O2 "$build/hwy_timer.cpp" -o "$build/hwy_timer.so"

# Instructions by function (inlined code counts in its caller), start-up included.
count()
{
    local n=$1 out=$build/callgrind.$1
    (cd "$root/assets" && ACCEL_SIMD=$target ACCEL_THREADS=0 LD_PRELOAD=$build/hwy_timer.so \
        valgrind --tool=callgrind --callgrind-out-file="$out" "$build/bench/demo_bench" "$mesh" \
        --frames "$n" >"$out.log" 2>&1) || {
        echo "tools/instructions.sh: the bench failed under valgrind; log: $out.log" >&2
        exit 1
    }
    callgrind_annotate --threshold=100 --tree=none --auto=no "$out" |
        awk '/^ *[0-9,]+ \(/ && !/PROGRAM TOTALS/ {
            n = $1; gsub(",", "", n); $1 = ""; $2 = ""
            sub(/^ +/, ""); sub(/ \[.*\]$/, ""); sub(/^[^:]*:/, "")
            gsub(/\(anonymous namespace\)/, "anon"); sub(/\(.*$/, ""); sub(/<.*>/, "<>")
            print n "\t" $0 }'
}

triangles=$(cd "$root/assets" && ACCEL_THREADS=0 "$build/bench/demo_bench" "$mesh" --frames 1 |
    awk '/^triangles_per_frame:/ {print $2}')
count "$frames" >"$build/before.tsv"
count $((frames + 6)) >"$build/after.tsv"
echo "$(basename "$mesh"): $triangles triangles a frame, target $target, instructions a triangle"
awk -F'\t' -v tris=$((triangles * 6)) '
    function stage(f) {
        if (f ~ /count_pixels|__wrap_|lrint/) return "bench (untimed pixel count)"
        if (f ~ /rotate_|project_vertices|draw_face|draw_copies/) return "program: turn, project, faces"
        if (f ~ /guDrawTriangleWithClip|pipeline_triangle/) return "call and record"
        if (f ~ /bin_batch|solve_planes|setup_planes|clip_/) return "clip, bin, planes"
        if (f ~ /raster_tile|raster_small|setup_coverage|raster_edges|raster_exact/) return "coverage and depth"
        if (f ~ /setup_shading|shade_|tex_/) return "shading set-up and shading"
        return "other"
    }
    FNR == NR { before[$2] += $1; next }
    { after[$2] += $1 }
    END {
        for (f in after) {
            d = (after[f] - before[f]) / tris
            per_stage[stage(f)] += d
            if (stage(f) !~ /bench/) timed += d
        }
        for (s in per_stage)
            printf "%8.0f  %s\n", per_stage[s], s | "sort -rn"
        close("sort -rn")
        printf "%8.0f  all but the bench\n", timed
    }' "$build/before.tsv" "$build/after.tsv"
