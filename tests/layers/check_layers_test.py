#!/usr/bin/env python3
"""Runs scripts/check-layers.py on the probe tree, which breaks each rule once next to uses
that are allowed, and on the real tree, which must pass.

    check_layers_test.py SCRIPT PROBE_ROOT REPO_ROOT"""
import subprocess
import sys

# One line for each violation in the probe: the file and what must be said of it. Nothing
# else may be reported; the probe's allowed uses (about with widgets, shell above download,
# tests/shell with widgets, system headers, commented links) must pass.
EXPECTED = [
    ('src/core/Up.h:', 'includes "transfer/Thing.h" from layer transfer'),
    ('src/core/Angle.cpp:', 'includes <shell/Window.h> from layer shell'),
    ('src/core/Bare.cpp:', '<Base.h> is not included by its path'),
    ('src/download/Neighbour.cpp:', 'includes "upload/Reader.h" from layer upload'),
    ('src/about/AboutShell.cpp:', 'includes "shell/Window.h" from layer shell'),
    ('src/transfer/TransferForm.h:', 'Qt Widgets (<QDialog>)'),
    ('src/upload/Reader.h:', 'Qt Widgets (<QtWidgets/QLabel>)'),
    ('src/cli/main.cpp:', 'Qt Widgets (<QApplication>)'),
    ('src/comm/Port.hpp:', '".hpp" is not a suffix'),
    ('src/comm/Port.hpp:', 'Qt Widgets (<QWidget>)'),
    ('src/comm/Port.cc:', '".cc" is not a suffix'),
    ('src/comm/Port.cc:', 'includes "transfer/Thing.h" from layer transfer'),
    ('src/transfer/CMakeLists.txt:', 'links brasvik_download_gui of layer download'),
    ('src/core/CMakeLists.txt:', 'links Qt6::Widgets'),
    ('tests/core/tst_up.cpp:', 'includes "download/Writer.h" from layer download'),
    ('tests/support/Fixture.h:', 'includes "download/Writer.h" from layer download'),
    ('tests/download/tst_widget.cpp:', 'Qt Widgets (<QWidget>)'),
    ('bench/sim/bench_host.cpp:', 'includes <transfer/Thing.h> from layer transfer'),
]


def run(script: str, root: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, script, root], capture_output=True, text=True)


def main() -> int:
    script, probe, repo = sys.argv[1:4]
    failures = []

    result = run(script, probe)
    lines = [line for line in result.stderr.splitlines() if line.strip()]
    if result.returncode != 1:
        failures.append(f'probe tree: exit code {result.returncode}, expected 1')
    for where, what in EXPECTED:
        if not any(line.startswith(where) and what in line for line in lines):
            failures.append(f'probe tree: not reported: {where} {what}')
    unexpected = [line for line in lines
                  if not any(line.startswith(w) and t in line for w, t in EXPECTED)]
    failures += [f'probe tree: reported without cause: {line}' for line in unexpected]

    result = run(script, repo)
    if result.returncode != 0:
        failures.append(f'real tree: exit code {result.returncode}, expected 0')
        failures += [f'real tree: {line}' for line in result.stderr.splitlines()]

    for f in failures:
        print(f)
    print(f'{len(EXPECTED)} violations expected in the probe, {len(failures)} failure(s)')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
