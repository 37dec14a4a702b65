"""Where and how a Ray run's actors are placed, and what a run on the cluster counts."""

from __future__ import annotations

from dataclasses import dataclass, field

from ..scheduling import RunStats
from .transport import DEFAULT_INLINE_POSITIONS


@dataclass
class RayOptions:
    """Where and how a run's actors are placed."""

    address: str | None = None  # a running cluster ("HOST:PORT", "auto"); None: start a local instance
    worker_cpus: float = 1.0  # per worker actor: the module searches on one core at a time
    servers: int | None = None  # inference servers; None: one per GPU with server_gpus, else one
    server_cpus: float = 1.0
    server_gpus: float = 0.0  # 1 to serve a CUDA network, one server per GPU
    in_flight: int = 2  # batches a worker keeps travelling to its server
    server_wait: float = 60.0  # seconds a worker waits for a restarting server before its games fail
    server_restarts: int = 10  # times Ray restarts a dead inference server
    max_attempts: int = 3  # times a game is played before the run gives up on it
    startup_timeout: float = 300.0  # seconds an actor may take to be placed and start
    inline_positions: int = DEFAULT_INLINE_POSITIONS  # positions per call to a server
    num_cpus: int | None = None  # a local instance's CPUs (None: all)
    object_store_memory: int | None = None  # a local instance's object store, bytes

    def __post_init__(self) -> None:
        if self.worker_cpus <= 0:
            raise ValueError(f"worker_cpus must be positive, got {self.worker_cpus}")
        if self.server_cpus < 0 or self.server_gpus < 0:
            raise ValueError("server_cpus and server_gpus must be >= 0")
        if self.servers is not None and self.servers < 1:
            raise ValueError(f"servers must be >= 1, got {self.servers}")
        for name in ("in_flight", "max_attempts", "inline_positions"):
            if getattr(self, name) < 1:
                raise ValueError(f"{name} must be >= 1, got {getattr(self, name)}")
        if self.server_wait < 0 or self.server_restarts < 0 or self.startup_timeout <= 0:
            raise ValueError("server_wait and server_restarts must be >= 0 and startup_timeout positive")


@dataclass
class RayRunStats(RunStats):
    """:class:`~tilora_zero.selfplay.scheduling.RunStats` and what the cluster went through."""

    retried_games: int = 0  # games played again after a lost worker or server
    lost_workers: int = 0  # worker actors that died and were replaced
    games_per_node: dict[str, int] = field(default_factory=dict)  # accepted records per Ray node id
