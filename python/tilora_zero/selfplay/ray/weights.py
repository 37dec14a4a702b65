"""Network weights through the object store: put once per version, referenced by every actor.

The driver turns a network factory that loads a checkpoint from its own disk
(``functools.partial(load_network, path, ...)``) into a
:class:`ShippedCheckpoint`: the file's bytes are put into the object store
once per content (its version) and the factory carries only the reference, so
actors on machines without that file, or without any shared file system,
build the same network. Other factories ("uniform", or any picklable callable)
travel as they are.
"""

from __future__ import annotations

import collections
import functools
import hashlib
import tempfile
from pathlib import Path
from typing import Any

from ...networks import load_network


class ShippedCheckpoint:
    """Builds ``load_network(checkpoint, *args, **kwargs)`` from bytes held in the object store."""

    def __init__(self, weights: Any, file_name: str, args: tuple = (), kwargs: dict | None = None):
        self.weights = weights  # ObjectRef of the checkpoint file's bytes
        self.file_name = file_name  # the network's name quotes it, as when loaded from the file
        self.args = tuple(args)
        self.kwargs = dict(kwargs or {})

    def __call__(self) -> Any:
        import ray

        data = ray.get(self.weights)
        with tempfile.TemporaryDirectory(prefix="tilora-weights-") as directory:
            path = Path(directory) / self.file_name
            path.write_bytes(data)
            return load_network(str(path), *self.args, **self.kwargs)

    def __repr__(self) -> str:
        return f"ShippedCheckpoint({self.file_name!r})"


class WeightsStore:
    """The driver's object-store copies of checkpoints, by content; the newest ``keep`` stay."""

    def __init__(self, keep: int = 2):
        self.keep = keep
        self.puts = 0  # checkpoints put into the object store
        self._refs: collections.OrderedDict[str, Any] = collections.OrderedDict()

    def publish(self, factory: Any) -> Any:
        """The factory to hand to actors: a :class:`ShippedCheckpoint` for a checkpoint file."""
        if not (isinstance(factory, functools.partial) and factory.func is load_network and factory.args):
            return factory
        source = factory.args[0]
        if not isinstance(source, (str, Path)) or source == "uniform":
            return factory
        path = Path(source)
        try:
            data = path.read_bytes()
        except OSError as error:
            raise FileNotFoundError(f"cannot read network checkpoint {source}: {error.strerror}") from None
        version = hashlib.sha256(data).hexdigest()
        ref = self._refs.get(version)
        if ref is None:
            import ray

            ref = ray.put(data)
            self.puts += 1
            self._refs[version] = ref
            while len(self._refs) > self.keep:
                self._refs.popitem(last=False)
        else:
            self._refs.move_to_end(version)
        return ShippedCheckpoint(ref, path.name, factory.args[1:], factory.keywords)

    def clear(self) -> None:
        self._refs.clear()
