"""The toolkit's version: the installed distribution's, or 0.0.0 when run from a source tree."""

from importlib import metadata as _metadata

try:
    __version__ = _metadata.version("tilora-self-play")
except _metadata.PackageNotFoundError:  # running from a source tree
    __version__ = "0.0.0"
