"""Progress on a terminal: a bar for reading and writing, the elapsed time while a procedure computes."""

import sys
import threading
from collections.abc import Callable
from typing import Any

PROGRESS_DELAY = 1.0  # seconds of work before a progress bar appears
TICK = 0.2  # seconds between updates of the elapsed time


def progress_bar(description: str, total: int | None, unit: str) -> Any:
    """A tqdm bar on standard error, shown only on a terminal once the work takes over a second."""
    from tqdm import tqdm  # only needed for long runs

    return tqdm(
        total=total,
        desc=description,
        unit=unit,
        unit_scale=True,
        file=sys.stderr,
        disable=None,
        delay=PROGRESS_DELAY,
        leave=False,
        dynamic_ncols=True,
    )


def with_elapsed_time[T](description: str, compute: Callable[[], T]) -> T:
    """`compute()`, showing the time it has taken on a terminal once that exceeds a second.

    A second thread keeps the time up to date while the core computes
    without the interpreter lock; the computation stays on the calling
    thread, where Ctrl-C reaches it.
    """
    if not sys.stderr.isatty():
        return compute()
    finished = threading.Event()
    with progress_bar(description, None, "") as bar:
        bar.bar_format = "{desc}: {elapsed}"

        def tick() -> None:
            while not finished.wait(TICK):
                bar.update(0)  # redraws the elapsed time, once the delay has passed

        ticker = threading.Thread(target=tick, daemon=True)
        ticker.start()
        try:
            return compute()
        finally:
            finished.set()
            ticker.join()
