#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh, in build-package unless given), lists its
# files and checks them, unpacks it into a temporary folder (no system-wide install) and runs
# the packaged programs from there, tries the packaged bash completion and image types, and has
# hardening-check look at the programs and lintian at the package.
#   scripts/package-check.sh [BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
status=0
fail() { echo "package-check: FAIL: $*" >&2; status=1; }

deb="$("$here/scripts/package.sh" "$@")"
echo "== $deb" >&2
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends >&2

echo "== files" >&2
listing="$(dpkg-deb --contents "$deb")"
echo "$listing" >&2
files="$(awk '{print $6}' <<<"$listing")"
for f in ./usr/bin/BrasvikV6 ./usr/bin/brasvik-cli ./usr/bin/brasvik-sim \
         ./usr/share/applications/brasvikv6.desktop \
         ./usr/share/icons/hicolor/scalable/apps/brasvikv6.svg \
         ./usr/share/man/man1/BrasvikV6.1.gz ./usr/share/man/man1/brasvik-cli.1.gz \
         ./usr/share/man/man1/brasvik-sim.1.gz \
         ./usr/share/bash-completion/completions/brasvik-cli \
         ./usr/share/mime/packages/brasvikv6.xml \
         ./usr/share/doc/brasvikv6/copyright \
         ./usr/share/doc/brasvikv6/README.md \
         ./usr/share/doc/brasvikv6/examples/60-brasvik-serial.rules \
         ./usr/share/brasvikv6/H86/; do
    grep -qxF "$f" <<<"$files" || fail "$f is not in the package"
done
# Each document goes in once.
for f in 60-brasvik-serial.rules; do
    n="$(grep -c "/$f\$" <<<"$files" || true)"
    ((n == 1)) || fail "$f is in the package $n times"
done
# The simulated device's stand-in target programs never go anywhere the tool looks.
if grep -qi '\.h86$' <<<"$files"; then
    fail "the package holds target programs: $(grep -i '\.h86$' <<<"$files" | tr '\n' ' ')"
fi
# Every program goes in stripped.
for exe in BrasvikV6 brasvik-cli brasvik-sim; do
    file_type="$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - "./usr/bin/$exe" | file -)"
    if grep -q 'not stripped' <<<"$file_type"; then fail "$exe is not stripped"; fi
done
depends="$(dpkg-deb --field "$deb" Depends)"
for d in libqt6core6 libqt6widgets6 libqt6serialbus6 qt6-qpa-plugins; do
    grep -q "$d" <<<"$depends" || fail "Depends does not name $d: $depends"
done

echo "== run from the unpacked package" >&2
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp/root"
cli="$tmp/root/usr/bin/brasvik-cli"
export XDG_CONFIG_HOME="$tmp/config" XDG_DATA_HOME="$tmp/data"
# --version: checked once brasvik-cli has it (its usage text names it).
if "$cli" --help 2>&1 | grep -q -- '--version'; then
    version="$("$cli" --version)" || fail "brasvik-cli --version failed"
    grep -qF "$(dpkg-deb --field "$deb" Version | cut -d- -f1)" <<<"$version" \
        || fail "brasvik-cli --version prints \"$version\", not the package's version"
    echo "$version" >&2
else
    echo "package-check: NOTE: brasvik-cli has no --version yet; not checked" >&2
fi
python3 "$here/scripts/make-sample-image.py" "$tmp/sample.h86"
info="$("$cli" info "$tmp/sample.h86" --device 46xx)" || fail "brasvik-cli info failed"
echo "$info" >&2
grep -q '^Content: ' <<<"$info" || fail "brasvik-cli info printed no content line"
grep -q '^EndSector: 8$' <<<"$info" || fail "brasvik-cli info: unexpected end sector"
# The doctor runs from the package and finds the packaged system folder (empty) in its search.
doctor_status=0
doctor="$("$cli" doctor --port /dev/null --json)" || doctor_status=$?
((doctor_status == 1)) || fail "brasvik-cli doctor on /dev/null exited $doctor_status, not 1"
grep -qE '"id": ?"port.path"' <<<"$doctor" || fail "brasvik-cli doctor --json printed no port check"

# The doctor names the packaged system folder of target programs, not one of the build's prefix.
grep -qF '/usr/share/brasvikv6/H86' <<<"$doctor" \
    || fail "brasvik-cli doctor does not search /usr/share/brasvikv6/H86"
# The window program answers --version without a display, and says why it cannot start
# without one.
gui="$tmp/root/usr/bin/BrasvikV6"
gui_version="$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$gui" --version 2>&1)" \
    || fail "BrasvikV6 --version failed: $gui_version"
grep -qF "$(dpkg-deb --field "$deb" Version | cut -d- -f1)" <<<"$gui_version" \
    || fail "BrasvikV6 --version prints \"$gui_version\", not the package's version"
# The same with a display named that cannot be reached: no display server behind DISPLAY, an
# unknown platform plugin, a Wayland socket that is not there.
for display in "" "DISPLAY=:97" "QT_QPA_PLATFORM=bogus" "WAYLAND_DISPLAY=brasvik-none"; do
    gui_status=0
    gui_err="$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u XDG_SESSION_TYPE \
        ${display:+"$display"} XDG_RUNTIME_DIR="$tmp" "$gui" 2>&1)" || gui_status=$?
    if ((gui_status != 1)) || ! grep -qF "no display: set DISPLAY or use brasvik-cli" <<<"$gui_err"; then
        fail "BrasvikV6 with ${display:-no display} exited $gui_status: $gui_err"
    fi
done

echo "== documents" >&2
# Every file of the source tree that the installed README names is in the package beside it.
doc="$tmp/root/usr/share/doc/brasvikv6"
named="$(grep -oE '\b(docs|examples|sim|scripts|packaging|src|tests|bench|build)/[A-Za-z0-9_./*-]*[A-Za-z0-9_]' \
    "$doc/README.md" | sort -u)"
for f in $named; do
    [[ -e $doc/$f ]] || fail "the installed README names $f, which the package lacks"
done

echo "== image types" >&2
# With the package's types known, H86, B86 and Intel HEX files are recognised by their names.
mkdir -p "$XDG_DATA_HOME/mime/packages"
cp "$tmp/root/usr/share/mime/packages/brasvikv6.xml" "$XDG_DATA_HOME/mime/packages/"
update-mime-database "$XDG_DATA_HOME/mime"
cp "$tmp/sample.h86" "$tmp/OS.H86"
cp "$tmp/sample.h86" "$tmp/sample.hex"
for type in b86 r86; do
    "$cli" convert "$tmp/sample.h86" "$tmp/sample.$type" --device 46xx >/dev/null 2>&1 \
        || fail "brasvik-cli convert to ${type^^} failed"
done
for pair in sample.h86:text/x-brasvik-h86 OS.H86:text/x-brasvik-h86 \
            sample.b86:application/x-brasvik-b86 sample.r86:application/x-brasvik-r86 \
            sample.hex:text/x-ihex; do
    got="$(xdg-mime query filetype "$tmp/${pair%%:*}" 2>&1)" || true
    [[ $got == "${pair#*:}" ]] || fail "xdg-mime takes ${pair%%:*} for \"$got\", not ${pair#*:}"
done
desktop_types="$(sed -n 's/^MimeType=//p' "$tmp/root/usr/share/applications/brasvikv6.desktop")"
for t in text/x-brasvik-h86 application/x-brasvik-b86; do
    grep -qF "$t;" <<<"$desktop_types" || fail "the desktop file does not claim $t"
done

echo "== bash completion" >&2
completion="$tmp/root/usr/share/bash-completion/completions/brasvik-cli"
complete_words() {
    bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
             _brasvik_cli; printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@"
}
# Every command brasvik-cli lists is offered, and nothing it does not know.
# The commands are the indented names under "Commands:" in the tool's help.
commands="$("$cli" --help 2>&1 | sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z-]*\) .*/\1/p' | sort -u)"
offered="$(complete_words brasvik-cli '' | grep -v '^-' | sort -u)"
[[ -n $commands && $commands == "$offered" ]] \
    || fail "completion offers \"$(echo $offered)\", brasvik-cli has \"$(echo $commands)\""
[[ "$(complete_words brasvik-cli doctor --interface '' | xargs)" == "rs232 can1 can2" ]] \
    || fail "completion of --interface"
complete_words brasvik-cli download x.h86 --port CO | grep -qx COM16 || fail "completion of --port"
[[ "$(complete_words brasvik-cli upload pl | xargs)" == "plc plc-code plc-data" ]] \
    || fail "completion of the upload choice"
# Every command offers --help.
for command in $commands; do
    complete_words brasvik-cli "$command" --he | grep -qx -- --help \
        || fail "completion of $command's options leaves out --help"
done
# Images are H86, B86 and Intel HEX files (any case); an upload writes a B86 file.
mkdir -p "$tmp/files/sub"
touch "$tmp/files/"{os.h86,OLD.H86,dump.b86,code.hex,code.ihx,notes.txt,os.r86}
files_offered() { (cd "$tmp/files" && complete_words brasvik-cli "$@" | LC_ALL=C sort | xargs); }
[[ "$(files_offered download '')" == "OLD.H86 code.hex code.ihx dump.b86 os.h86 sub" ]] \
    || fail "completion of download's image offers \"$(files_offered download '')\""
[[ "$(files_offered upload flash '')" == "dump.b86 sub" ]] \
    || fail "completion of upload's output offers \"$(files_offered upload flash '')\""

echo "== hardening" >&2
# hardening-check fails a program that lacks a protection it can see. Two it cannot always
# see: the control-flow marker, which the linker sets only when every object has it (the C
# library's start files of Debian 12 have not), and stack clash probes in their unrolled form
# (below a frame of a few pages), which it does not know. For those the programs' own code
# shows it: landing pads (endbr64) at its functions, probes (or [rsp],0) below large frames.
if command -v hardening-check >/dev/null; then
    skip=()
    x86=""
    if [[ $(uname -m) == x86_64 ]]; then
        x86=1
        readelf -n "$(g++ -print-file-name=Scrt1.o)" 2>/dev/null | grep -q 'x86 feature: IBT' \
            || skip=(--nocfprotection)
    fi
    for exe in BrasvikV6 brasvik-cli brasvik-sim; do
        program="$tmp/root/usr/bin/$exe"
        report="$(hardening-check ${skip[@]+"${skip[@]}"} "$program" 2>&1)" \
            || fail "hardening-check: $exe lacks $(grep -E ': no' <<<"$report" | cut -d: -f1 | xargs)"
        echo "$report" >&2
        [[ -n $x86 ]] || continue
        code="$(objdump -d -M intel --no-show-raw-insn "$program")"
        if grep -q 'Control flow integrity: no' <<<"$report" && (($(grep -c endbr64 <<<"$code") < 100)); then
            fail "$exe: its code has no control-flow protection (-fcf-protection)"
        fi
        if grep -q 'Stack clash protection: unknown' <<<"$report" \
            && ! grep -qE 'or +QWORD PTR \[rsp(\+0x[0-9a-f]+)?\],0x0' <<<"$code"; then
            fail "$exe: its code has no stack clash probes (-fstack-clash-protection)"
        fi
    done
else
    fail "hardening-check is not installed (scripts/setup.sh installs devscripts)"
fi

echo "== lintian" >&2
if command -v lintian >/dev/null; then
    # Errors and any hardening tag fail the check; the other tags are shown.
    tags="$(lintian -I --pedantic "$deb" 2>&1)" || true
    [[ -z $tags ]] || echo "$tags" >&2
    if grep -q '^E: ' <<<"$tags"; then fail "lintian reports errors"; fi
    if grep -q 'hardening' <<<"$tags"; then fail "lintian reports hardening tags"; fi
    for tag in binary-has-unneeded-section package-contains-documentation-outside-usr-share-doc; do
        if grep -q ": $tag" <<<"$tags"; then fail "lintian reports $tag"; fi
    done
else
    fail "lintian is not installed (scripts/setup.sh installs it)"
fi

exit $status
