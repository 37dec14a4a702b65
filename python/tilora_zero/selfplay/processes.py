"""The start of a process that plays games or serves a network: quiet, and gone with its parent."""

from __future__ import annotations

import multiprocessing as mp
import os
import signal
import sys
import threading


def quiet(log_path: str | None = None) -> None:
    """Sends standard output (the module's summary lines) to the null device and standard error to
    ``log_path`` when given; Ctrl-C belongs to the parent, which stops this process itself."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
    if log_path is not None:
        log = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
        os.dup2(log, 2)
        os.close(log)
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)


def die_with_parent() -> None:
    """Asks Linux to end this process when its parent ends, however the parent ends."""
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        pr_set_pdeathsig = 1
        libc.prctl(pr_set_pdeathsig, signal.SIGKILL)
    except (OSError, AttributeError):  # not Linux: the parent's clean-up is all there is
        pass
    parent = mp.parent_process()
    if parent is not None and os.getppid() != parent.pid:  # it ended before we asked
        os._exit(1)


def limit_torch_threads(threads: int) -> None:
    """Keeps a torch network on the CPU from crowding out the games: its thread pool would otherwise
    take every core, next to the worker processes that already do."""
    torch = sys.modules.get("torch")
    if torch is not None:
        torch.set_num_threads(max(1, threads))
