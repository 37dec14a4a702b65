"""tilora_zero: the toolkit around the self-play module.

Engine bindings (:class:`Game`), inference serving, the self-play runner,
records, datasets, networks and the ``tilora-zero`` command line.
"""

from ._engine import Game, RuleError
from ._version import __version__

__all__ = ["Game", "RuleError", "UniformNetwork", "load_network", "__version__"]


def __getattr__(name: str):
    # The networks load lazily: they may pull in torch.
    if name in ("UniformNetwork", "load_network"):
        from . import networks

        return getattr(networks, name)
    raise AttributeError(f"module 'tilora_zero' has no attribute {name!r}")
