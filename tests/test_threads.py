"""The pool of worker threads behind every threaded driver: shared by
concurrent callers, and started afresh in a forked child."""
import signal
from concurrent.futures import ThreadPoolExecutor

import trovel
from trovel import Pixels

from helpers import in_child, same_bits

# tall enough for every call to split into several pieces (the coverages take
# pieces of 2^17 pixels)
GRID = Pixels.grid((1400, 240), center=(0.2, -0.1), rotation=0.1)
CALLS = {
    "render": lambda threads: trovel.render(
        trovel.pupil(280.0, obscuration=0.3, struts=4, strut_width=4.0), GRID, threads=threads),
    "circle": lambda threads: trovel.circle_coverage(GRID, (3.0, 4.0), 120.0, threads=threads),
    "strut": lambda threads: trovel.strut_coverage(
        GRID, trovel.Strut.across((1.0, 2.0), 0.4, 9.0, 250.0), threads=threads),
}
ONE = {name: call(1) for name, call in CALLS.items()}


def call_all(threads: int) -> bool:
    return all(same_bits(call(threads), ONE[name]) for name, call in CALLS.items())


def test_concurrent_callers_share_the_workers_with_the_bits_of_one_thread():
    """Eight callers at once, each asking for 2 to 9 threads: the shares
    queue for the same workers, and a caller runs what none has taken."""
    with ThreadPoolExecutor(8) as callers:
        results = list(callers.map(call_all, [2 + k % 8 for k in range(48)]))
    assert all(results)


def test_a_forked_child_runs_threaded_calls_of_its_own():
    """The parent's workers are not in the child; it must not wait on them
    (a wait would end the child by the alarm)."""
    assert call_all(3)   # the parent's workers started

    def child():
        signal.alarm(30)
        assert call_all(3)

    in_child(child)
