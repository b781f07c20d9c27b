#!/usr/bin/env bash
# The scripts where a user meets them: make-sample-image.py's options, and package.sh when apt
# cannot run (what it asks apt for, and what it says then).
#   tst_scripts.sh SOURCE_DIR
set -uo pipefail
src="$(cd "$1" && pwd)"
status=0
fail() { echo "FAIL: $*"; status=1; }
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

echo "== make-sample-image.py"
# Help and refusals write no file; a name that starts with "-" comes after "--".
while IFS='|' read -r args want; do
    work="$tmp/sample"
    rm -rf "$work" && mkdir "$work"
    got=0
    (cd "$work" && python3 "$src/scripts/make-sample-image.py" $args >out.txt 2>&1) || got=$?
    written="$(cd "$work" && find . -mindepth 1 ! -name out.txt -printf '%f ' | sed 's/ $//')"
    case "$want" in
        0 | 2) [[ $got == "$want" && -z $written ]] \
                   || fail "make-sample-image.py $args: status $got, wrote \"$written\"" ;;
        *) [[ $got == 0 && $written == "$want" && $(wc -c <"$work/$want") -gt 100000 ]] \
               || fail "make-sample-image.py $args: status $got, wrote \"$written\"" ;;
    esac
done <<'ROWS'
--help|0
-h|0
--bogus out.h86|2
-x|2
|2
-- -os.h86|-os.h86
ROWS

echo "== package.sh when apt cannot run"
# Every package is missing; apt-get's install finds another one holding the lock.
fake="$tmp/bin"
mkdir -p "$fake"
cat >"$fake/dpkg-query" <<'FAKE'
#!/bin/sh
exit 1
FAKE
cat >"$fake/apt-get" <<'FAKE'
#!/bin/sh
echo "$*" >>"$APT_LOG"
case " $* " in
*" install "*)
    echo "E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4242 (apt-get)" >&2
    exit 100 ;;
esac
FAKE
cat >"$fake/sudo" <<'FAKE'
#!/bin/sh
exec "$@"
FAKE
cat >"$fake/cmake" <<'FAKE'
#!/bin/sh
echo "cmake ran" >>"$APT_LOG"
exit 1
FAKE
chmod +x "$fake"/*
export APT_LOG="$tmp/apt.log"
got=0
err="$(PATH="$fake:$PATH" "$src/scripts/package.sh" "$tmp/build" 2>&1 >/dev/null)" || got=$?
echo "$err"
((got == 1)) || fail "package.sh exited $got, not 1"
grep -qF "another package manager, process 4242 (apt-get), holds the package lock" <<<"$err" \
    || fail "package.sh does not say that the lock is held"
install="$(grep ' install ' "$APT_LOG")"
grep -qw dpkg-dev <<<"$install" || fail "package.sh does not install dpkg-dev: $install"
for tool in clang xvfb lintian imagemagick devscripts; do
    if grep -qw "$tool" <<<"$install"; then fail "package.sh installs $tool: $install"; fi
done
if grep -q "cmake ran" "$APT_LOG"; then fail "package.sh went on to configure"; fi

exit $status
