#!/usr/bin/env bash
# Builds the Debian package from a build folder, lists its files and checks them, unpacks it
# into a temporary folder (no system-wide install) and runs the packaged brasvik-cli from there,
# tries the packaged bash completion, and has lintian look at the package.
#   scripts/package-check.sh [BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$here/build}"
status=0
fail() { echo "package-check: FAIL: $*" >&2; status=1; }

cmake --build "$build" --target BrasvikV6 brasvik-cli brasvik-sim brasvik_packaging_files >&2
out="$build/package"
rm -rf "$out"
cpack --config "$build/CPackConfig.cmake" -B "$out" >&2
debs=("$out"/*.deb)
deb="${debs[0]}"
[[ -f $deb ]] || { echo "package-check: no .deb in $out" >&2; exit 1; }
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
         ./usr/share/doc/brasvikv6/copyright \
         ./usr/share/doc/brasvikv6/examples/60-brasvik-serial.rules \
         ./usr/share/brasvikv6/H86/README; do
    grep -qxF "$f" <<<"$files" || fail "$f is not in the package"
done
# The simulated device's stand-in target programs never go anywhere the tool looks.
if grep -qi '\.h86$' <<<"$files"; then
    fail "the package holds target programs: $(grep -i '\.h86$' <<<"$files" | tr '\n' ' ')"
fi
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
grep -q '"id": "port.path"' <<<"$doctor" || fail "brasvik-cli doctor --json printed no port check"

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

echo "== lintian" >&2
if command -v lintian >/dev/null; then
    # Errors fail the check; warnings are shown.
    lintian --fail-on error "$deb" >&2 || fail "lintian reports errors"
else
    fail "lintian is not installed (scripts/setup.sh installs it)"
fi

exit $status
