"""Another experiment's script, as a module: every experiment's script is named run.py, so one that builds
on another loads it under the other's name."""
from __future__ import annotations

import importlib.machinery
import sys
import types
from pathlib import Path

EXPERIMENTS = Path(__file__).resolve().parent


def experiment(name: str) -> types.ModuleType:
    """experiments/NAME/run.py as the module NAME_run, registered so that worker processes can pickle its
    functions by module name."""
    loader = importlib.machinery.SourceFileLoader(f"{name}_run", str(EXPERIMENTS / name / "run.py"))
    module = types.ModuleType(loader.name)
    module.__file__ = loader.path
    sys.modules[loader.name] = module
    loader.exec_module(module)
    return module
