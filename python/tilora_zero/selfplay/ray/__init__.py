"""Self-play across the machines of a Ray cluster: the local backend's workload, records and guarantees.

Layout:

* a **self-play worker actor** per core (:class:`~.actors.SelfPlayWorker`)
  runs several games as greenlets on the toolkit's own
  :class:`~tilora_zero.serving.hub.GameHub`, as a worker process of the local backend
  does, and keeps a couple of batches travelling to
* an **inference server actor** per GPU, or one on CPU
  (:class:`~.actors.InferenceServer`), which merges the batches of several
  workers in the local backend's :class:`~tilora_zero.serving.merger.BatchMerger` and
  runs the network. What crosses
  the wire is compact: 250 bytes of packed planes per position, float32
  arrays back, in calls small enough to travel inline (:mod:`.transport`).
  Without a server (``ServingOptions.server`` false) every worker runs the
  network itself, as the local backend does for a cheap network.
* the **driver** (:class:`RaySelfPlay`, :func:`play_games`) plays each run
  (:mod:`.run`): it hands out game numbers with the local backend's
  scheduler, collects the finished records and is their only writer, so the
  cluster needs no shared file system. A checkpoint goes into the object
  store once per version and the actors reference it (:mod:`.weights`).

Every node needs this package installed (the same version as the driver's).
Ray itself is optional: ``pip install '.[ray]'``.
"""

from .driver import RaySelfPlay, check_reachable, play_games
from .options import RayOptions, RayRunStats

__all__ = ["RayOptions", "RayRunStats", "RaySelfPlay", "check_reachable", "play_games"]
