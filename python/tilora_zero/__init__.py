"""tilora_zero: the toolkit around the self-play module.

Engine bindings (:class:`Game`), and the toolkit's wings, each a package:
``board`` (constants, the mover's frame, symmetries), ``serving`` (a network
served to many games), ``networks``, ``data`` (records, datasets, resuming a
run), ``selfplay`` (games, players, matches and the local and Ray backends),
``learning`` (training, arenas, the loop) and ``commands`` behind the
``tilora-zero`` command line (``cli``).
"""

import importlib
import sys
import warnings
from importlib.abc import Loader, MetaPathFinder
from importlib.machinery import ModuleSpec

from ._engine import Game, RuleError
from ._version import __version__

__all__ = ["Game", "RuleError", "UniformNetwork", "load_network", "__version__"]

# Modules that moved into the wings, under their old names for one release (docs/toolkit.md): importing an
# old name gives the new module itself, with a DeprecationWarning. tilora_zero.networks stays where it was.
MOVED_MODULES = {
    f"{__name__}.records": f"{__name__}.data.records",
    f"{__name__}.dataset": f"{__name__}.data.dataset",
    f"{__name__}.runner": f"{__name__}.selfplay.local",
}


class _MovedModuleFinder(MetaPathFinder, Loader):
    """Finds a moved module's old name; loading it imports the new module, which takes the old name's place."""

    def find_spec(self, name, path=None, target=None):
        return ModuleSpec(name, self) if name in MOVED_MODULES else None

    def create_module(self, module_spec):
        return None  # a placeholder, replaced by the new module in exec_module

    def exec_module(self, module):
        new = MOVED_MODULES[module.__name__]
        warnings.warn(f"{module.__name__} is now {new}; the old name goes in the next release",
                      DeprecationWarning, stacklevel=2)
        sys.modules[module.__name__] = importlib.import_module(new)


if not any(isinstance(finder, _MovedModuleFinder) for finder in sys.meta_path):
    sys.meta_path.append(_MovedModuleFinder())


def __getattr__(name: str):
    # The networks load lazily: they may pull in torch.
    if name in ("UniformNetwork", "load_network"):
        from . import networks

        return getattr(networks, name)
    raise AttributeError(f"module 'tilora_zero' has no attribute {name!r}")
