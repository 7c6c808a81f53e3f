"""What a run leaves: the figures summarised, the table, the chart, and the
machine and settings it ran on."""

from __future__ import annotations

import os
import platform
import statistics
import subprocess
import sys
from pathlib import Path
from typing import Any

from comparison.clients import COLOURS, PACKAGES

REPOSITORY = Path(__file__).resolve().parents[2]


# figure -> (label, unit, higher is better)
def figure_info(sessions: list[int]) -> dict[str, tuple[str, str, bool]]:
    info = {
        "latency_p50_us": ("turn latency p50", "µs", False),
        "latency_p99_us": ("turn latency p99", "µs", False),
    }
    for n in sessions:
        info[f"games_per_s_{n}"] = (f"games/s, {n} at once", "games/s", True)
    for n in sessions:
        info[f"cpu_s_per_1000_{n}"] = (f"CPU per 1000 games, {n} at once", "s", False)
    for n in sessions:
        info[f"server_cpu_s_per_1000_{n}"] = (f"server CPU per 1000 games, {n} at once", "s", False)
    info["idle_kib_per_session"] = ("memory per idle session", "KiB", False)
    info["startup_ms"] = ("import + first connect", "ms", False)
    return info


def summarise(figures: dict[str, dict[str, list[float]]], clients: list[str]) -> dict[str, Any]:
    out: dict[str, Any] = {}
    base = clients[0]
    for client in clients:
        for figure, values in figures[client].items():
            out.setdefault(figure, {})[client] = {
                "median": statistics.median(values), "min": min(values), "max": max(values),
                "values": values,
            }
    for per_client in out.values():
        reference = per_client.get(base, {}).get("median")
        for stats in per_client.values():
            stats["ratio"] = stats["median"] / reference if reference else None
    return out


def table(result: dict[str, Any]) -> str:
    figures = result["figures"]
    clients = list(next(iter(figures.values())).keys())
    info = figure_info(result["settings"]["sessions"])
    rows = [["figure (median [min-max])", *clients]]
    for figure, (label, unit, _) in info.items():
        if figure not in figures:
            continue
        row = [f"{label} ({unit})"]
        for client in clients:
            s = figures[figure][client]
            cell = f"{fmt(s['median'])} [{fmt(s['min'])}-{fmt(s['max'])}]"
            if client != clients[0] and s["ratio"] is not None:
                cell += f" x{s['ratio']:.2f}"
            row.append(cell)
        rows.append(row)
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    lines = ["  ".join(cell.ljust(w) for cell, w in zip(r, widths, strict=True)).rstrip() for r in rows]
    lines.insert(1, "  ".join("-" * w for w in widths))
    s = result["settings"]
    lines.append(
        f"x = ratio to {clients[0]} (client / {clients[0]}); {s['rounds']} rounds, "
        f"{s['games']} games per throughput figure, {s['latency_games']} latency games, "
        f"{s['idle_sessions']} idle sessions; clients on {s.get('loop', 'asyncio')}; {s['seconds']} s"
    )
    return "\n".join(lines)


def fmt(value: float) -> str:
    if value >= 100:
        return f"{value:.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def chart(result: dict[str, Any], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figures = result["figures"]
    clients = list(next(iter(figures.values())).keys())
    sessions = result["settings"]["sessions"]
    info = figure_info(sessions)
    panels = [
        ("turn latency p50 (µs, lower is better)", ["latency_p50_us"], None),
        ("turn latency p99 (µs, lower is better)", ["latency_p99_us"], None),
        ("games per second (higher is better)", [f"games_per_s_{n}" for n in sessions],
         [f"{n} at once" for n in sessions]),
        ("CPU s per 1000 games (lower is better)", [f"cpu_s_per_1000_{n}" for n in sessions],
         [f"{n} at once" for n in sessions]),
        ("memory per idle session (KiB, lower is better)", ["idle_kib_per_session"], None),
        ("import + first connect (ms, lower is better)", ["startup_ms"], None),
    ]
    fig, axes = plt.subplots(2, 3, figsize=(15, 8.5))
    width = 0.8 / len(clients)
    for ax, (title, keys, groups) in zip(axes.flat, panels, strict=True):
        keys = [k for k in keys if k in figures]
        if not keys:
            ax.set_axis_off()
            continue
        for i, client in enumerate(clients):
            xs = [g + (i - (len(clients) - 1) / 2) * width for g in range(len(keys))]
            stats = [figures[k][client] for k in keys]
            medians = [s["median"] for s in stats]
            errors = [[s["median"] - s["min"] for s in stats], [s["max"] - s["median"] for s in stats]]
            bars = ax.bar(xs, medians, width * 0.95, yerr=errors, capsize=3,
                          color=COLOURS.get(client), label=client)
            for bar, s in zip(bars, stats, strict=True):
                text = fmt(s["median"]) if client == clients[0] else f"x{s['ratio']:.2f}"
                ax.annotate(text, (bar.get_x() + bar.get_width() / 2, s["max"]),
                            xytext=(0, 3), textcoords="offset points", ha="center", fontsize=8)
        stats = [figures[k][c] for k in keys for c in clients]
        if any(s["median"] > 0 and s["max"] > 5 * s["median"] for s in stats):
            # One disturbed round would flatten every bar on a linear axis.
            ax.set_yscale("log")
            title = title.replace(")", ", log scale)", 1)
        ax.set_title(title, fontsize=10)
        ax.set_xticks(range(len(keys)))
        ax.set_xticklabels(groups or [info[k][0] for k in keys], fontsize=8)
        ax.margins(y=0.15)
        ax.grid(axis="y", alpha=0.3)
    axes.flat[0].legend(fontsize=8)
    m = result["machine"]
    fig.suptitle(
        f"{clients[0]} vs hand-written {' / '.join(clients[1:])} clients: median of {result['settings']['rounds']} "
        f"rounds, whiskers min-max, labels = ratio to {clients[0]}\n{m['cpu']}, {m['cpus']} CPUs, "
        f"Python {m['python']}, {result['settings'].get('loop', 'asyncio')} loop, "
        + ", ".join(f"{p} {m[p]}" for p in PACKAGES if p in m)
        + (f"; {result['settings']['label']}" if result["settings"].get("label") else ""),
        fontsize=10,
    )
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)


def machine(env: dict[str, str]) -> dict[str, Any]:
    def version(module: str) -> str:
        try:
            from importlib.metadata import version as v

            return v(module)
        except Exception:
            return "?"

    cpu = platform.processor() or "?"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    kestrel_file = subprocess.run(
        [sys.executable, "-c", "import kestrel; print(kestrel.__file__)"],
        env=env, capture_output=True, text=True,
    ).stdout.strip()
    return {
        "cpu": cpu, "cpus": os.cpu_count(), "python": platform.python_version(),
        "kernel": platform.release(),
        **{package: version(package) for package in PACKAGES},
        "kestrel_module": shown(kestrel_file),
        "load_average": os.getloadavg(),
    }


def shown(path: object) -> str | None:
    """A path as the results keep it: inside the repository, relative to it,
    so that committed results do not name the machine that measured them."""
    if not path:
        return None
    resolved = Path(str(path)).resolve()
    try:
        return str(resolved.relative_to(REPOSITORY))
    except ValueError:
        return str(path)


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)
