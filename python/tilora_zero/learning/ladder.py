"""The ladder: the fixed baselines every generation of the loop plays, and the picture of its climb."""
from __future__ import annotations

from pathlib import Path

# The fixed baselines of the ladder, weakest first.
LADDER = ("uniform", "greedy", "rollout")


def ladder_figure(metrics: list[dict]):
    """Each generation's mean payoff per seat (95% CI) against each baseline, as a matplotlib figure;
    None without ladder matches."""
    ladder = [m for m in metrics if m.get("kind") == "ladder"]
    if not ladder:
        return None
    from matplotlib.figure import Figure
    from matplotlib.ticker import MaxNLocator

    fig = Figure(figsize=(7, 4))
    ax = fig.subplots()
    for baseline in LADDER:
        rows = sorted((m for m in ladder if m["baseline"] == baseline), key=lambda m: m["generation"])
        if not rows:
            continue
        x = [m["generation"] for m in rows]
        y = [m["a_mean_payoff_per_seat"] for m in rows]
        err = [[m["a_mean_payoff_per_seat"] - m["ci95"][0] for m in rows],
               [m["ci95"][1] - m["a_mean_payoff_per_seat"] for m in rows]]
        ax.errorbar(x, y, yerr=err, marker="o", capsize=3, label=f"against 3 x {baseline}")
    ax.axhline(0.25, color="grey", linestyle="--", label="parity 0.25")
    generations = [m["generation"] for m in ladder]
    ax.set_xlim(min(generations) - 0.5, max(generations) + 0.5)  # half a generation of room at each end
    ax.xaxis.set_major_locator(MaxNLocator(integer=True, min_n_ticks=1))
    ax.set_xlabel("generation")
    ax.set_ylabel("mean payoff per seat (95% CI)")
    ax.set_title("the ladder: each generation against fixed baselines")
    ax.legend()
    fig.tight_layout()
    return fig


def plot_ladder(metrics: list[dict], path: str | Path) -> Path | None:
    """A PNG of :func:`ladder_figure`; None without ladder matches."""
    fig = ladder_figure(metrics)
    if fig is None:
        return None
    path = Path(path)
    fig.savefig(path, dpi=100)
    return path
