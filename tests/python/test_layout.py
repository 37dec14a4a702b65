"""The toolkit's layout: wings that import only the wings below them, no import circle, few and short
top-level modules; and the old module names that still work for one release."""
from __future__ import annotations

import ast
import importlib
import sys
from pathlib import Path

import pytest

import tilora_zero

PACKAGE = Path(tilora_zero.__file__).resolve().parent
# Each wing imports only from itself and the layers below (not from another wing of its layer); commands and
# the command line sit on top, and nothing below imports them.
LAYERS = [
    {"_engine", "_match", "_version", "settings"},
    {"board"},
    {"networks", "serving"},
    {"data"},
    {"selfplay"},
    {"learning"},
    {"web"},
    {"commands"},
    {"cli", ""},  # "": the package itself, which offers Game and load_network
]
LAYER = {wing: level for level, wings in enumerate(LAYERS) for wing in wings}
EXTENSIONS = {"tilora_zero._engine", "tilora_zero._match"}  # built by CMake into the package root
MOST_TOP_LEVEL_MODULES = 5
MOST_LINES = 400


def module_name(path: Path) -> str:
    parts = ["tilora_zero", *path.relative_to(PACKAGE).with_suffix("").parts]
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def toolkit_files() -> dict[str, Path]:
    return {module_name(path): path for path in sorted(PACKAGE.rglob("*.py"))}


def imports(path: Path, modules: set[str]) -> set[str]:
    """The toolkit modules that ``path`` imports, wherever the import stands (a function's body too)."""
    name = module_name(path)
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                parts = package.split(".")[: len(package.split(".")) - node.level + 1]
                base = ".".join(parts + ([node.module] if node.module else []))
            for alias in node.names:  # a submodule imported by name, or a name of the module
                found.add(f"{base}.{alias.name}" if f"{base}.{alias.name}" in modules else base)
    return {module for module in found if module in modules}


def wing(module: str) -> str:
    return module.split(".")[1] if "." in module else ""


def import_graph() -> dict[str, set[str]]:
    files = toolkit_files()
    modules = {*files, *EXTENSIONS}
    return {name: imports(path, modules) for name, path in files.items()}


def test_every_wing_imports_only_the_wings_below_it():
    upward = [f"{module} imports {target}" for module, targets in import_graph().items() for target in targets
              if wing(target) != wing(module) and LAYER[wing(target)] >= LAYER[wing(module)]]
    assert upward == []


def test_no_module_imports_commands_but_commands_and_the_command_line():
    below = [f"{module} imports {target}" for module, targets in import_graph().items() for target in targets
             if wing(target) == "commands" and wing(module) not in ("commands", "cli")]
    assert below == []


def test_the_toolkit_has_no_import_circle():
    graph = import_graph()
    circles, state = [], {}  # state: 1 on the current path, 2 done

    def visit(module: str, path: list[str]) -> None:
        state[module] = 1
        for target in sorted(graph.get(module, ())):
            if state.get(target) == 1:
                circles.append(path[path.index(target):] + [target])
            elif target not in state:
                visit(target, path + [target])
        state[module] = 2

    for module in sorted(graph):
        if module not in state:
            visit(module, [module])
    assert circles == []


def test_the_package_root_holds_few_modules_beside_its_wings_and_no_file_is_long():
    top_level = sorted(path.name for path in PACKAGE.glob("*.py"))
    assert len(top_level) <= MOST_TOP_LEVEL_MODULES, top_level
    folders = [path for path in PACKAGE.rglob("*") if path.is_dir() and path.name != "__pycache__"]
    assert [path for path in folders if not (path / "__init__.py").exists()] == []  # every wing a package
    long = {name: lines for name, path in toolkit_files().items()
            if (lines := len(path.read_text().splitlines())) > MOST_LINES}
    assert long == {}


@pytest.fixture
def old_names_not_imported(monkeypatch):
    for old in tilora_zero.MOVED_MODULES:
        monkeypatch.delitem(sys.modules, old, raising=False)
        monkeypatch.delattr(tilora_zero, old.rpartition(".")[2], raising=False)


@pytest.mark.parametrize("old, new", [("tilora_zero.records", "tilora_zero.data.records"),
                                      ("tilora_zero.dataset", "tilora_zero.data.dataset"),
                                      ("tilora_zero.runner", "tilora_zero.selfplay.local")])
def test_a_moved_module_answers_to_its_old_name_with_a_warning(old, new, old_names_not_imported):
    with pytest.warns(DeprecationWarning, match=f"{old} is now {new}"):
        module = importlib.import_module(old)
    assert module is importlib.import_module(new) and module.__name__ == new
    assert getattr(tilora_zero, old.rpartition(".")[2]) is module


def test_the_old_names_of_moved_modules_serve_the_old_imports(old_names_not_imported):
    with pytest.warns(DeprecationWarning):
        from tilora_zero.records import GameRecord
        from tilora_zero.runner import SearchSettings, play_games
    from tilora_zero.data.records import GameRecord as moved_record
    from tilora_zero.selfplay.local import play_games as moved_play_games
    from tilora_zero.settings import SearchSettings as settings

    assert (GameRecord, play_games, SearchSettings) == (moved_record, moved_play_games, settings)
    import tilora_zero.networks

    assert tilora_zero.networks.load_network is tilora_zero.load_network
