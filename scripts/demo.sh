#!/usr/bin/env bash
# The main job against the simulated device: starts brasvik-sim on a pseudo-terminal, points
# COM1 at it in a throw-away settings directory (the user's own settings are never touched)
# and then
#   - with a display: starts the GUI with the sample image (or the image given), which goes
#     straight to the Download command;
#   - without a display: runs the same download with brasvik-cli and shows its log and result.
# The device's memory is kept in build/demo/device-46xx.bin, so a later run (an upload or a
# compare) sees what was programmed.
#
#   scripts/demo.sh [IMAGE]          (expects a build in build/, see scripts/setup.sh)
# The transfers land in a service record inside the throw-away folder too, so the user's own
# record holds real devices only.
# Environment: BRASVIK_BUILD_DIR (default build), BRASVIK_DEMO_BAUD (line pace of the
# simulated device, default 57600 as the tool's default rate; 0 for no pacing),
# BRASVIK_DEMO_RECORD=user (write the demo's transfers into the user's own service record).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BRASVIK_BUILD_DIR:-$here/build}"
bin="$build/bin"
baud="${BRASVIK_DEMO_BAUD:-57600}"
demo_dir="$build/demo"
mkdir -p "$demo_dir"

say() { printf '%s\n' "demo: $*" >&2; }

for exe in brasvik-sim BrasvikV6; do
    if [[ ! -x "$bin/$exe" ]]; then
        say "$bin/$exe is missing; build first (scripts/setup.sh)."
        exit 1
    fi
done

image="${1:-}"
if [[ -z "$image" ]]; then
    image="$demo_dir/vmc46xx-sample-os.h86"
    if [[ ! -s "$image" ]]; then
        python3 "$here/scripts/make-sample-image.py" "$image"
        say "sample image written: $image"
    fi
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/brasvik-demo.XXXXXX")"
sim_pid=""
cleanup() {
    if [[ -n "$sim_pid" ]] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    if [[ -s "$work/sim.out" ]]; then
        grep '^brasvik-sim: summary' "$work/sim.out" | sed 's/^brasvik-sim: summary /device: /' >&2 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The simulated device, with a stable link to its pseudo-terminal.
link="$work/ttyBrasvikSim"
"$bin/brasvik-sim" --device 46xx --memory "$demo_dir/device-46xx.bin" --link "$link" \
    --baud "$baud" --trace "$demo_dir/last-trace.txt" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 1 100); do
    grep -q '^brasvik-sim: ready' "$work/sim.out" 2>/dev/null && break
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        say "the simulated device did not start:"
        cat "$work/sim.err" >&2
        exit 1
    fi
    sleep 0.05
done
grep -q '^brasvik-sim: ready' "$work/sim.out" || { say "the simulated device did not get ready"; exit 1; }
pace="line paced at ${baud} bit/s"
[[ $baud == 0 ]] && pace="unpaced"
say "simulated 46xx device on $(sed -n 's/^brasvik-sim: serial //p' "$work/sim.out") (COM1 -> $link), $pace"

# Throw-away settings: COM1 is the simulated device, 57600 bit/s for 46xx devices.
export XDG_CONFIG_HOME="$work/config"
mkdir -p "$XDG_CONFIG_HOME/Halvero"
cat >"$XDG_CONFIG_HOME/Halvero/BrasvikV6.ini" <<INI
[General]
COMPort=1
brDefault=7
brCVBRDx=7

[Ports]
COM1=$link
INI

# The service record of these simulated transfers goes with the throw-away folder.
record_note=""
if [[ ${BRASVIK_DEMO_RECORD:-} != user ]]; then
    export XDG_STATE_HOME="$work/state"
    record_note=" (its service record is thrown away; BRASVIK_DEMO_RECORD=user keeps it in yours)"
fi

h86_dir="$here/sim/H86"
if [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]; then
    say "starting BrasvikV6 with $(basename "$image"): choose the device type (VMC 46xx), the erase option, then OK at the boot prompt."
    "$bin/BrasvikV6" --h86-dir "$h86_dir" "$image" || true
else
    if [[ ! -x "$bin/brasvik-cli" ]]; then
        say "no display, and the command-line tool $bin/brasvik-cli is not built yet: nothing more to show."
        exit 0
    fi
    say "no display: downloading $(basename "$image") with brasvik-cli"
    status=0
    "$bin/brasvik-cli" download "$image" --device 46xx --h86-dir "$h86_dir" --yes || status=$?
    "$bin/brasvik-cli" history --last 1 >&2 || true
    say "brasvik-cli ended with status $status; device memory kept in $demo_dir/device-46xx.bin$record_note"
    exit "$status"
fi
