"""`make bench`: every capability of trovel beside the tools people would
pick for the same job, end to end.

Each capability has its module here (mask_peers, coverage_peers, cut_peers,
deposit_peers, render_peers, telescope_peers, ellipse_peers, photometry_peers,
resample_peers)
with a `run(table, repeats)` that adds its rows to the one table
(harness.Table).  Public calls are timed end to end (grid construction and a
new output included) beside the native calls on prepared inputs; every
figure is a median of calls made side by side in this one run (hcipy's ELT,
tens of seconds a call, is timed by one).  Each peer's note says what it
computes differently and how far its result lies from an exact reference.
A peer that is not installed is skipped with its reason; a peer too slow
for the whole problem runs on a sample and is compared per unit of work.

Writes docs/performance_table.rst (the table), docs/img/bench_scaling.png
(time per unit of work against work) and the pages that capabilities add
(docs/telescopes_table.rst: each telescope's totals).
"""
from __future__ import annotations

import os

# One thread for every tool (BLAS, OpenMP, numba); idle threads spinning on
# the machine's other core would only add noise.
for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS", "NUMBA_NUM_THREADS"):
    os.environ.setdefault(var, "1")

import argparse  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import coverage_peers  # noqa: E402
import cut_peers  # noqa: E402
import deposit_peers  # noqa: E402
import ellipse_peers  # noqa: E402
import mask_peers  # noqa: E402
import photometry_peers  # noqa: E402
import render_peers  # noqa: E402
import resample_peers  # noqa: E402
import telescope_peers  # noqa: E402
from harness import RATIO_NOTE, Table, machine_line  # noqa: E402

CAPABILITIES = {
    "mask": mask_peers.run,
    "coverage": coverage_peers.run,
    "cut": cut_peers.run,
    "deposit": deposit_peers.run,
    "render": render_peers.run,
    "ellipse": ellipse_peers.run,
    "photometry": photometry_peers.run,
    "resample": resample_peers.run,
    "telescopes": telescope_peers.run,
}
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeats", type=int, default=7, help="repeats per measurement (median)")
    ap.add_argument("--only", choices=sorted(CAPABILITIES), action="append",
                    help="run only these capabilities (the docs are then left as they are)")
    opts = ap.parse_args()
    table = Table()
    start = time.perf_counter()
    for key, run in CAPABILITIES.items():
        if opts.only and key not in opts.only:
            continue
        print(f"{key} ...", file=sys.stderr, flush=True)
        run(table, opts.repeats)
    header = machine_line(opts.repeats)
    print(header)
    print(RATIO_NOTE)
    print(table.text())
    print(f"whole run {time.perf_counter() - start:.0f} s", file=sys.stderr)
    if opts.only:
        return
    with open(os.path.join(ROOT, "docs", "performance_table.rst"), "w") as f:
        f.write(table.rst(header))
    table.plot(os.path.join(ROOT, "docs", "img", "bench_scaling.png"),
               f"time per unit of work; {header.split(';')[0]}")
    for name, text in table.pages.items():
        with open(os.path.join(ROOT, "docs", name), "w") as f:
            f.write(text)
    print("wrote docs/performance_table.rst, docs/img/bench_scaling.png and "
          + ", ".join(f"docs/{name}" for name in table.pages), file=sys.stderr)


if __name__ == "__main__":
    main()
