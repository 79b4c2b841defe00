"""The bench's one timing helper and one table.

`medians` times several calls side by side in one run; `Table` collects the
rows of every capability, prints them, writes them as a reStructuredText
table and draws the scaling plot (time per unit of work against work).
"""
from __future__ import annotations

import importlib
import math
import os
import platform
import statistics
import sys
import time
import tracemalloc
from collections.abc import Callable
from dataclasses import dataclass
from types import ModuleType
from typing import Any

import numpy as np


def medians(fns: list[Callable[[], Any]], repeats: int, *, settle: bool = False) -> list[float]:
    """Median wall times of several calls measured side by side: one untimed
    call of each, then rounds that call each in turn, so that load from
    elsewhere on the machine falls on all alike.  With `settle`, every timed
    call follows an untimed one of the same tool, so that each is measured
    in its own steady state (caches, allocator) rather than in the state the
    tool before it left."""
    for fn in fns:
        fn()
    times: list[list[float]] = [[] for _ in fns]
    for _ in range(repeats):
        for fn, ts in zip(fns, times):
            if settle:
                fn()
            t0 = time.perf_counter()
            fn()
            ts.append(time.perf_counter() - t0)
    return [statistics.median(ts) for ts in times]


def peak_added(fn: Callable[[], Any]) -> int:
    """Peak bytes that numpy and Python allocate during fn() (tracemalloc)."""
    tracemalloc.start()
    result = fn()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    del result
    return peak


def optional(module: str) -> ModuleType | None:
    """The module, or None with the reason printed."""
    try:
        return importlib.import_module(module)
    except Exception as exc:  # an installed peer can fail on import too
        print(f"  skipped: {module} not available ({type(exc).__name__}: {exc})",
              file=sys.stderr, flush=True)
        return None


@dataclass
class Row:
    scenario: str     # one comparison: rows of a scenario share a problem
    tool: str
    seconds: float    # median; nan when the tool was skipped
    work: float       # units of work the timed call did (pixels, triangles...)
    unit: str
    family: str       # the capability, one panel of the plot
    note: str = ""    # what it computes differently, and how it differs
    table: bool = True  # False: a point of the scaling plot only
    series: str = ""    # the plot's line through its sizes (default: the tool)

    @property
    def per_unit_ns(self) -> float:
        return self.seconds / self.work * 1e9


RATIO_NOTE = ("'vs first row' is the time per unit of work over that of the scenario's first "
              "row, trovel's public call: above 1 is slower than it.  A peer run on a sample "
              "is compared per unit of work.")


class Table:
    """Every row of the run.  The first row of a scenario is trovel's public
    call, and later rows are given as their time per unit of work over its.
    `pages` holds the docs pages a capability writes besides its rows (file
    name under docs/ to reStructuredText)."""

    def __init__(self) -> None:
        self.rows: list[Row] = []
        self.pages: dict[str, str] = {}

    def add(self, scenario: str, tool: str, seconds: float, work: float, unit: str,
            family: str, note: str = "", table: bool = True, series: str = "") -> None:
        row = Row(scenario, tool, seconds, work, unit, family, note, table, series or tool)
        self.rows.append(row)
        ms = "skipped" if math.isnan(seconds) else f"{seconds * 1e3:10.2f} ms"
        print(f"  {scenario:<30} {tool:<40} {ms}  {note}", file=sys.stderr, flush=True)

    def skip(self, scenario: str, tool: str, family: str, reason: str) -> None:
        self.add(scenario, tool, float("nan"), 1.0, "", family, reason)

    def ratios(self) -> list[tuple[Row, str]]:
        """The table's rows, each with its ratio to the first of its scenario."""
        base: dict[str, float] = {}
        out = []
        for row in self.rows:
            if not row.table:
                continue
            if row.scenario not in base:
                base[row.scenario] = row.per_unit_ns
                out.append((row, ""))
            elif math.isnan(row.seconds):
                out.append((row, "-"))
            else:
                out.append((row, f"{row.per_unit_ns / base[row.scenario]:.2f}x"))
        return out

    def text(self) -> str:
        head = f"{'scenario':<30} {'tool':<40} {'time ms':>10} {'ns/unit':>9} {'vs first':>9}  note"
        lines = [head, "-" * len(head)]
        last = None
        for row, ratio in self.ratios():
            if last is not None and row.scenario != last:
                lines.append("")
            ms = "-" if math.isnan(row.seconds) else f"{row.seconds * 1e3:.2f}"
            per = "-" if math.isnan(row.seconds) else f"{row.per_unit_ns:.2f}"
            name = row.scenario if row.scenario != last else ""
            lines.append(f"{name:<30} {row.tool:<40} {ms:>10} {per:>9} {ratio:>9}  {row.note}")
            last = row.scenario
        return "\n".join(lines)

    def rst(self, header: str) -> str:
        def cell(s: str) -> str:
            return s.replace("*", r"\*").replace("|", r"\|").replace("`", "'") or " "

        lines = [".. Written by `make bench` (bench/run.py); do not edit by hand.", "",
                 header + ".", "", RATIO_NOTE, "", ".. list-table::", "   :header-rows: 1",
                 "   :widths: 18 22 9 9 8 34", ""]
        cols = ["scenario", "tool", "time (ms)", "ns per unit", "vs first row", "note"]
        lines += ["   * - " + cols[0]] + [f"     - {c}" for c in cols[1:]]
        last = None
        for row, ratio in self.ratios():
            skipped = math.isnan(row.seconds)
            cells = [row.scenario if row.scenario != last else "", row.tool,
                     "-" if skipped else f"{row.seconds * 1e3:.2f}",
                     "-" if skipped else f"{row.per_unit_ns:.2f} / {row.unit}",
                     ratio, row.note]
            lines += ["   * - " + cell(cells[0])] + [f"     - {cell(c)}" for c in cells[1:]]
            last = row.scenario
        return "\n".join(lines) + "\n"

    def plot(self, path: str, title: str) -> None:
        """Time per unit of work against work, one panel per capability, each
        tool a line through its sizes."""
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        families = list(dict.fromkeys(r.family for r in self.rows))
        cols = min(3, len(families))
        rows_n = math.ceil(len(families) / cols)
        fig, axes = plt.subplots(rows_n, cols, figsize=(5.2 * cols, 4.0 * rows_n), squeeze=False)
        for ax, family in zip(axes.ravel(), families):
            # enough colours that no two lines of a panel share one
            ax.set_prop_cycle(color=plt.get_cmap("tab20").colors)
            lines: dict[str, list[Row]] = {}
            for r in self.rows:
                if r.family == family and not math.isnan(r.seconds):
                    lines.setdefault(r.series, []).append(r)
            for tool, pts in lines.items():
                pts.sort(key=lambda r: r.work)
                style = "-" if tool.startswith(("trovel", "native")) else "--"
                ax.loglog([r.work for r in pts], [r.per_unit_ns for r in pts], style,
                          marker="o", ms=4, label=tool)
            units = sorted({r.unit for r in self.rows if r.family == family and r.unit})
            ax.set_title(family, fontsize=10)
            ax.set_xlabel(f"work ({', '.join(units)})", fontsize=8)
            ax.set_ylabel("ns per unit of work", fontsize=8)
            ax.grid(True, which="both", alpha=0.3)
            ax.legend(fontsize=6.5, loc="best", framealpha=0.8)
        for ax in axes.ravel()[len(families):]:
            ax.set_visible(False)
        fig.suptitle(title, fontsize=10)
        fig.tight_layout()
        os.makedirs(os.path.dirname(path), exist_ok=True)
        fig.savefig(path, dpi=110)
        plt.close(fig)


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def machine_line(repeats: int) -> str:
    """The machine, the versions and the load the run met (a shared machine's
    load moves every figure)."""
    load = os.getloadavg()[0]
    return (f"CPU: {cpu_model()}, {os.cpu_count()} logical CPUs, load average {load:.1f} at the "
            f"end; Python {platform.python_version()}, numpy {np.__version__}; medians of "
            f"{repeats} repeats side by side, one thread unless stated")
