#!/usr/bin/env python3
"""Fails when a source file under src/ includes a header from a layer above its own, or from
a neighbour on the same level (download and upload, shell and cli know nothing of each
other), or when a non-visual layer includes Qt Widgets."""
import pathlib
import re
import sys

# Level of each folder under src/. A folder may include from its own folder and from any
# folder on a lower level.
LEVEL = {
    'base': 0,
    'core': 1, 'comm': 1,
    'transfer': 2,
    'download': 3, 'upload': 3, 'about': 3,
    'shell': 4, 'cli': 4,
}
# Files that are windows; everything else below shell must build without Qt Widgets.
GUI_FILES = re.compile(r'^(transfer/TransferForm|download/BrasvikDownload|upload/BrasvikUpload|about/.*)\.(h|cpp)$')
WIDGET_INCLUDE = re.compile(r'#\s*include\s*<(QtWidgets/\S+|Q(Widget|Dialog|MainWindow|Application|MessageBox|Label|PushButton)>)')
LOCAL_INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


def check(src: pathlib.Path) -> list[str]:
    problems = []
    for path in sorted(src.rglob('*')):
        if path.suffix not in ('.h', '.cpp'):
            continue
        rel = path.relative_to(src).as_posix()
        layer = rel.split('/')[0]
        if layer not in LEVEL:
            problems.append(f'{rel}: folder "{layer}" has no level in scripts/check-layers.py')
            continue
        text = path.read_text(encoding='utf-8', errors='replace')
        for match in LOCAL_INCLUDE.finditer(text):
            target = match.group(1)
            if target.endswith('.moc') or target.startswith('moc_') or target.startswith('ui_'):
                continue
            if '/' not in target:
                problems.append(f'{rel}: "{target}" is not included by its path under src/')
                continue
            other = target.split('/')[0]
            if other not in LEVEL:
                problems.append(f'{rel}: "{target}" names no layer')
            elif other != layer and LEVEL[other] >= LEVEL[layer]:
                problems.append(f'{rel}: includes "{target}" from layer {other}, '
                                f'which is not below {layer}')
            elif not (src / target).exists():
                problems.append(f'{rel}: "{target}" does not exist')
        if LEVEL[layer] < LEVEL['shell'] and not GUI_FILES.match(rel) and WIDGET_INCLUDE.search(text):
            problems.append(f'{rel}: a non-visual layer includes Qt Widgets')
    return problems


def main() -> int:
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
    problems = check(root / 'src')
    for p in problems:
        print(p, file=sys.stderr)
    print(f'layer check: {len(problems)} problem(s)')
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
