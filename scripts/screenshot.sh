#!/usr/bin/env bash
# Takes the README's screenshot: starts the program under Xvfb with a sample image given on
# the command line, cancels the device-type question of the Download command that follows
# the load, and captures the main window into BUILD_DIR/screenshot.png, or with --docs into
# docs/screenshot.png (the README's copy, under version control).
#   scripts/screenshot.sh [--docs] [BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
update_docs=""
if [[ ${1:-} == --docs ]]; then
    update_docs=1
    shift
fi
build="${1:-$here/build}"
exe="$build/bin/BrasvikV6"
[[ -x "$exe" ]] || { echo "Build first: $exe is missing" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# A 46xx operating-system image: code-like bytes with a few texts up to 0x80000, erased flash
# above, the trailer 0, 11 behind the 1 MiB.
python3 - "$work/VMC4650_OS.b86" <<'PY'
import random, struct, sys
rnd = random.Random(4650)
img = bytearray(b"\xff" * 0x100000)
for a in range(0, 0x80000):
    img[a] = rnd.choice((0x00, 0x00, 0xFF, rnd.randrange(256), rnd.randrange(256)))
for a, text in ((0x0010, b"VMC 4650 operating system V6.02  (c) Halvero"),
                (0x00C0, b"Boot strap loader ready\r\n\x00"),
                (0x4100, b"Curve table\x00Axis parameters\x00")):
    img[a:a + len(text)] = text
img[0x200:0x202] = struct.pack("<H", 0x5555)
img += struct.pack("<ii", 0, 11)
open(sys.argv[1], "wb").write(img)
PY

# Presses Escape on the focused window.
cat > "$work/escape.py" <<'PY'
import ctypes
x11 = ctypes.CDLL("libX11.so.6")
xtst = ctypes.CDLL("libXtst.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
dpy = ctypes.c_void_p(x11.XOpenDisplay(None))
code = x11.XKeysymToKeycode(dpy, ctypes.c_ulong(0xFF1B))
xtst.XTestFakeKeyEvent(dpy, code, True, 0)
xtst.XTestFakeKeyEvent(dpy, code, False, 0)
x11.XFlush(dpy)
x11.XCloseDisplay(dpy)
PY

cat > "$work/shot.sh" <<SHOT
#!/usr/bin/env bash
set -eu
export XDG_CONFIG_HOME="$work/config"
"$exe" "$work/VMC4650_OS.b86" &
pid=\$!
sleep 3
# The Download command opens its device-type question after the load.
python3 "$work/escape.py"
sleep 1
import -window root "$work/root.png"
kill \$pid
SHOT
chmod +x "$work/shot.sh"
xvfb-run -a -s "-screen 0 1024x600x24" "$work/shot.sh"
target="$build/screenshot.png"
[[ -n $update_docs ]] && target="$here/docs/screenshot.png"
# The window sits at the top left of an otherwise black screen.
convert "$work/root.png" -trim +repage "$target"
echo "Wrote $target" >&2
