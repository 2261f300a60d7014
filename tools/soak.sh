#!/bin/bash
# Runs the demo on the bundled assets for many frames (display none, no 60 Hz wait) and
# watches its memory and descriptors: every few seconds one line of frames shown, resident
# memory and open descriptors from /proc; at the end the figures at start, middle and end.
# Usage: tools/soak.sh [FRAMES] [MAX_SECONDS]    (defaults 100000 and 3600)
# Frames are counted by the tests' preloaded shim (tests/common/shim.cpp counts grBufferSwap
# calls; the program itself is unchanged); the key that ends the run goes in through a FIFO on
# standard input. Exit status: 0 when the demo ended by the key with status 0.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
frames_wanted=${1:-100000}
max_seconds=${2:-3600}
interval=${SOAK_INTERVAL:-5}
build=${SOAK_BUILD:-$root/build-soak}

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
ninja -C "$build" -j2 demo accel_shim >/dev/null
shim=$(find "$build" -name libaccel_shim.so | head -1)

work=$(mktemp -d)
trap 'exec 3>&- 2>/dev/null || true; [ -n "${pid:-}" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
mkfifo "$work/keys"
: >"$work/frames"

(cd "$root/assets" && ACCEL_DISPLAY=none ACCEL_VSYNC=0 LD_PRELOAD="$shim" \
    SHIM_REPORT="$work/frames" exec "$build/src/demo" <"$work/keys" >/dev/null 2>"$work/err") &
pid=$!
exec 3>"$work/keys" # held open: no end of input until the key

sample()
{
    local rss fds n
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
    fds=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l)
    n=$(awk '{print $4}' "$work/frames")
    echo "${n:-0} ${rss:-0} $fds"
}

start=$(date +%s)
printf '%8s %10s %10s %5s\n' seconds frames rss_kib fds
samples=()
while kill -0 "$pid" 2>/dev/null; do
    read -r n rss fds <<<"$(sample)"
    now=$(($(date +%s) - start))
    printf '%8d %10d %10d %5d\n' "$now" "$n" "$rss" "$fds"
    samples+=("$now $n $rss $fds")
    if [ "$n" -ge "$frames_wanted" ] || [ "$now" -ge "$max_seconds" ]; then
        printf 'q' >&3
        break
    fi
    sleep "$interval"
done
status=0
wait "$pid" || status=$?
pid=""
n=$(awk '{print $4}' "$work/frames")

count=${#samples[@]}
if [ "$count" -ge 2 ]; then
    # Start is the first sample with a frame shown (start-up is not steady state).
    first=0
    for i in "${!samples[@]}"; do
        read -r _ f _ _ <<<"${samples[$i]}"
        if [ "$f" -gt 0 ]; then
            first=$i
            break
        fi
    done
    mid=$(((first + count - 1) / 2))
    echo "summary (seconds frames rss_kib fds):"
    echo "  start  ${samples[$first]}"
    echo "  middle ${samples[$mid]}"
    echo "  end    ${samples[$((count - 1))]}"
fi
echo "frames shown: $n; demo exit status: $status"
[ -s "$work/err" ] && { echo "standard error:"; head -20 "$work/err"; }
[ "$status" -eq 0 ]
