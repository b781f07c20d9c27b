#!/usr/bin/env python3
"""Keeps the layers of the source tree apart. Fails when

- a source file under src/ includes a header from a layer above its own, or from a neighbour
  on the same level (download and upload, shell and cli know nothing of each other), with
  quotes or angle brackets alike;
- a project header is not included by its path under src/;
- a layer that shows no windows (everything but about and shell) includes Qt Widgets;
- a file under src/ has a C++ suffix other than .h and .cpp;
- a CMakeLists.txt under src/ links a library of a layer it may not include;
- a test or benchmark includes from a layer above the one it tests.

    scripts/check-layers.py [ROOT]

ROOT defaults to the repository; tests/layers runs it on a probe tree as well."""
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
    'production': 4,
    'shell': 5, 'cli': 5,
}
# The layers that show windows. about is a window layer of its own below shell: it may use
# Qt Widgets but still includes nothing from shell.
VISUAL = {'about', 'shell'}

# The level a folder under tests/ or bench/ is judged at. A folder named after a layer tests
# that layer and may include it and the layers below it (a neighbour on the same level too:
# one suite may drive the download and the upload side by side). The others:
TEST_LEVEL = {
    # Shared fixtures: the fake links and the recorder of a transfer's events live here, so
    # they may use the transfer layer, but nothing that a core or comm suite could not link.
    'support': LEVEL['transfer'],
    # The simulated device and the bare host it is measured against speak the wire: ports
    # at most, never the transfer code they stand opposite to (a baseline built on the tool
    # would measure the tool).
    'sim': LEVEL['comm'],
    # The fuzzers feed the image readers.
    'fuzz': LEVEL['core'],
    # The soak runs the whole tool, as the command-line tool does.
    'soak': LEVEL['cli'],
    # Helpers the benchmarks share, like the test fixtures.
    'common': LEVEL['transfer'],
}
# Folders that hold no test sources: the probe tree of this script's own test breaks every
# rule on purpose.
SKIP = {('tests', 'layers')}

SOURCE_SUFFIXES = {'.h', '.cpp'}
# Any other C++ suffix is reported under src/ and checked like the rest everywhere.
OTHER_CXX_SUFFIXES = {'.hpp', '.hh', '.hxx', '.h++', '.cc', '.cxx', '.c++', '.cp', '.ipp',
                      '.inl', '.tpp'}

QT_WIDGETS_DIR = pathlib.Path('/usr/include/x86_64-linux-gnu/qt6/QtWidgets')
# Used when the Qt Widgets headers are not installed where the check runs. QAction and its
# kin moved to Qt Gui in Qt 6 but serve menus and tool bars only; they count as widgets.
WIDGET_CLASSES_FALLBACK = '''
    QAbstractButton QAbstractItemDelegate QAbstractItemView QAbstractScrollArea QAbstractSlider
    QAbstractSpinBox QAction QActionGroup QApplication QBoxLayout QButtonGroup QCheckBox
    QColorDialog QColumnView QComboBox QCommandLinkButton QCommonStyle QCompleter QDateEdit
    QDateTimeEdit QDial QDialog QDialogButtonBox QDockWidget QDoubleSpinBox QErrorMessage
    QFileDialog QFileSystemModel QFocusFrame QFontComboBox QFontDialog QFormLayout QFrame
    QGesture QGraphicsScene QGraphicsView QGridLayout QGroupBox QHBoxLayout QHeaderView
    QInputDialog QItemDelegate QKeySequenceEdit QLCDNumber QLabel QLayout QLayoutItem QLineEdit
    QListView QListWidget QMainWindow QMdiArea QMdiSubWindow QMenu QMenuBar QMessageBox
    QPlainTextEdit QProgressBar QProgressDialog QProxyStyle QPushButton QRadioButton QRubberBand
    QScrollArea QScrollBar QShortcut QSizeGrip QSizePolicy QSlider QSpacerItem QSpinBox
    QSplashScreen QSplitter QStackedLayout QStackedWidget QStatusBar QStyle QStyleFactory
    QStyleOption QStylePainter QStyledItemDelegate QSystemTrayIcon QTabBar QTabWidget
    QTableView QTableWidget QTextBrowser QTextEdit QTimeEdit QToolBar QToolBox QToolButton
    QToolTip QTreeView QTreeWidget QUndoCommand QUndoStack QUndoView QVBoxLayout QWhatsThis
    QWidget QWidgetAction QWizard QWizardPage QtWidgets QtWidgetsVersion QtWidgetsDepends
'''.split()
QT6_MOVED_TO_GUI = {'QAction', 'QActionGroup', 'QShortcut', 'QUndoCommand', 'QUndoStack',
                    'QUndoGroup', 'QFileSystemModel'}

INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*(["<])([^">]+)[">]', re.M)
LINK = re.compile(r'target_link_libraries\s*\(([^)]*)\)', re.S)
LIBRARY = re.compile(r'\bbrasvik_([A-Za-z0-9_]+)')


def widget_headers() -> set[str]:
    """The header names that belong to Qt Widgets: its class headers and their lower-case .h
    files, read from the installed module when present."""
    names = set(WIDGET_CLASSES_FALLBACK) | QT6_MOVED_TO_GUI
    if QT_WIDGETS_DIR.is_dir():
        names |= {p.name for p in QT_WIDGETS_DIR.iterdir() if p.is_file()}
    return names


def cmake_text(path: pathlib.Path) -> str:
    return re.sub(r'#[^\n]*', '', path.read_text(encoding='utf-8', errors='replace'))


class Checker:
    def __init__(self, root: pathlib.Path):
        self.root = root
        self.src = root / 'src'
        self.widgets = widget_headers()
        self.problems: list[str] = []
        # Project headers by bare name, to catch <ImageState.h> for "core/ImageState.h".
        self.header_names = {p.name for p in self.src.rglob('*')
                             if p.is_file() and p.suffix in ('.h', '.hpp', '.hh', '.hxx')}

    def report(self, where: str, what: str) -> None:
        self.problems.append(f'{where}: {what}')

    def is_widget(self, target: str) -> bool:
        return (target.startswith('QtWidgets/') or target in self.widgets
                or target.split('/')[-1] in self.widgets and target.startswith('Qt'))

    # src/ ------------------------------------------------------------------------------------
    def check_src_file(self, path: pathlib.Path) -> None:
        rel = path.relative_to(self.root).as_posix()
        layer = path.relative_to(self.src).parts[0]
        if path.suffix in OTHER_CXX_SUFFIXES:
            self.report(rel, f'"{path.suffix}" is not a suffix of this project (.h, .cpp)')
        if layer not in LEVEL:
            self.report(rel, f'folder "{layer}" has no level in scripts/check-layers.py')
            return
        text = path.read_text(encoding='utf-8', errors='replace')
        widgets = []
        for quote, target in INCLUDE.findall(text):
            if quote == '<' and self.is_widget(target):
                widgets.append(f'<{target}>')
                continue
            first = target.split('/')[0]
            if quote == '<' and first not in LEVEL and target not in self.header_names:
                continue  # a system or Qt header
            if target.endswith('.moc') or target.startswith(('moc_', 'ui_')):
                continue
            shown = f'"{target}"' if quote == '"' else f'<{target}>'
            if '/' not in target:
                self.report(rel, f'{shown} is not included by its path under src/')
            elif first not in LEVEL:
                self.report(rel, f'{shown} names no layer')
            elif first != layer and LEVEL[first] >= LEVEL[layer]:
                self.report(rel, f'includes {shown} from layer {first}, which is not below '
                                 f'{layer}')
            elif not (self.src / target).exists():
                self.report(rel, f'{shown} does not exist')
        if widgets and layer not in VISUAL:
            self.report(rel, f'includes Qt Widgets ({", ".join(widgets)}), but layer {layer} '
                             f'shows no windows')

    def check_src_cmake(self, path: pathlib.Path) -> None:
        rel = path.relative_to(self.root).as_posix()
        parts = path.relative_to(self.src).parts
        if len(parts) < 2 or parts[0] not in LEVEL:
            return
        layer = parts[0]
        for args in LINK.findall(cmake_text(path)):
            if 'Qt6::Widgets' in args.split() and layer not in VISUAL:
                self.report(rel, f'links Qt6::Widgets: layer {layer} shows no windows')
            for name in LIBRARY.findall(args):
                other = name.split('_')[0]
                if other in LEVEL and other != layer and LEVEL[other] >= LEVEL[layer]:
                    self.report(rel, f'links brasvik_{name} of layer {other}, which is not '
                                     f'below {layer}')

    # tests/ and bench/ -----------------------------------------------------------------------
    def check_test_file(self, path: pathlib.Path) -> None:
        rel = path.relative_to(self.root).as_posix()
        top, folder = path.relative_to(self.root).parts[:2]
        if folder in LEVEL:
            level = LEVEL[folder]
        elif folder in TEST_LEVEL:
            level = TEST_LEVEL[folder]
        else:
            self.report(rel, f'folder "{top}/{folder}" has no level in scripts/check-layers.py')
            return
        visual = folder in VISUAL
        text = path.read_text(encoding='utf-8', errors='replace')
        widgets = []
        for quote, target in INCLUDE.findall(text):
            if quote == '<' and self.is_widget(target):
                widgets.append(f'<{target}>')
                continue
            first = target.split('/')[0]
            if first in LEVEL and '/' in target and LEVEL[first] > level:
                shown = f'"{target}"' if quote == '"' else f'<{target}>'
                self.report(rel, f'includes {shown} from layer {first}, which is above what '
                                 f'{top}/{folder} tests')
        if widgets and not visual:
            self.report(rel, f'includes Qt Widgets ({", ".join(widgets)}), but {top}/{folder} '
                             f'tests a layer that shows no windows')

    def run(self) -> list[str]:
        for path in sorted(self.src.rglob('*')):
            if not path.is_file():
                continue
            if path.suffix in SOURCE_SUFFIXES | OTHER_CXX_SUFFIXES:
                self.check_src_file(path)
            elif path.name == 'CMakeLists.txt':
                self.check_src_cmake(path)
        for top in ('tests', 'bench'):
            for path in sorted((self.root / top).rglob('*')):
                parts = path.relative_to(self.root).parts
                if (len(parts) < 3 or not path.is_file() or parts[:2] in SKIP
                        or path.suffix not in SOURCE_SUFFIXES | OTHER_CXX_SUFFIXES):
                    continue
                self.check_test_file(path)
        return self.problems


def main() -> int:
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
    if not (root / 'src').is_dir():
        print(f'layer check: {root} has no src/ folder', file=sys.stderr)
        return 2
    problems = Checker(root).run()
    for p in problems:
        print(p, file=sys.stderr)
    print(f'layer check: {len(problems)} problem(s)')
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
