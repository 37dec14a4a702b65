"""The evaluation cache of a hub's route: a network's replies, keyed on the packed planes they answer."""

from __future__ import annotations

from collections import OrderedDict

from .codec import Reply


class EvaluationCache:
    """Least-recently-used map from packed planes to the network's reply."""

    def __init__(self, capacity: int):
        if capacity < 0:
            raise ValueError(f"cache capacity must be >= 0, got {capacity}")
        self.capacity = capacity
        self._entries: OrderedDict[bytes, Reply] = OrderedDict()

    def __len__(self) -> int:
        return len(self._entries)

    def get(self, key: bytes) -> Reply | None:
        reply = self._entries.get(key)
        if reply is not None:
            self._entries.move_to_end(key)
        return reply

    def put(self, key: bytes, reply: Reply) -> None:
        if self.capacity == 0:
            return
        self._entries[key] = reply
        self._entries.move_to_end(key)
        while len(self._entries) > self.capacity:
            self._entries.popitem(last=False)
