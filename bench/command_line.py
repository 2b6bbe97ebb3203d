"""The command line end to end: `tarvimo run` in a child process on files
written for it, against the start-up of the same program and, for gzipped
tables, against decompressing the file alone (`zcat FILE > /dev/null`), with
the child's peak memory against the size of the values it reads. Gzipped
tables are written once into a cache directory and reused by later runs."""

import gzip
import subprocess
import sys
from collections.abc import Callable
from dataclasses import dataclass
from functools import partial
from pathlib import Path

import numpy as np

from bench.timing import measure
from bench.workloads import SIGNAL_SHARE, SizeGuard, simulate

STARTUP = "tarvimo --version"  # start-up and imports of the same program, the yardstick
TEXT_COMMAND = "run by, one p-value per line"
TABLE_COMMAND = "run closed-by, gzipped TSV of 3 columns"
STREAM_COMMAND = "run by, gzipped TSV of 3 columns"
ZCAT = "zcat FILE > /dev/null"
TABLE_FORMAT = 1  # in the cached tables' names: a change of write_table must not reuse older files
GENES = 20_000  # distinct labels in the gene column of the table
CHUNK_ROWS = 1_000_000  # rows formatted at a time when writing the table
# The program's entry point (pyarrow set up as the `tarvimo` script sets it
# up), which ends the process at once, with the peak resident memory written
# to standard error before the end.
PEAK_REPORTING_LAUNCHER = """
import os, sys
from tarvimo.__main__ import pyarrow_without_pandas
pyarrow_without_pandas()
from tarvimo._cli import main
sys.argv[0] = "tarvimo"
try:
    code = main(sys.argv[1:])
finally:  # also after the SystemExit of --version
    sys.stdout.flush()
    with open("/proc/self/status") as status:
        print(next(line for line in status if line.startswith("VmHWM:")).split()[1], file=sys.stderr, flush=True)
os._exit(code)
"""


@dataclass(frozen=True)
class CommandRun:
    """Median time of one command line, its start-up, and the child's peak memory."""

    command: str
    m: int
    seconds: float | None  # None: skipped, see detail
    startup_seconds: float
    runs: int
    peak_mib: float | None
    detail: str = ""
    zcat_seconds: float | None = None  # decompressing the gzipped table alone, timed with the command

    @property
    def values_mib(self) -> float:
        """Size of the values read, as float64."""
        return self.m * 8 / 2**20

    @property
    def zcat_ratio(self) -> float | None:
        """The command's time over decompressing its table alone."""
        if self.seconds is None or self.zcat_seconds is None:
            return None
        return self.seconds / self.zcat_seconds


def child_run(arguments: list[str]) -> float:
    """Run `python -m tarvimo ARGUMENTS` to its end; its peak resident memory in MiB.

    The child reads its own high-water mark: the rusage of a child also
    counts the parent's memory, which the child shares until it execs.
    """
    done = subprocess.run(
        [sys.executable, "-c", PEAK_REPORTING_LAUNCHER, *arguments],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        check=False,
    )
    if done.returncode != 0:
        raise RuntimeError(f"tarvimo {' '.join(arguments)} exited with {done.returncode}: {done.stderr}")
    return int(done.stderr.split()[-1]) / 1024  # VmHWM is in KiB


def decompress(path: Path) -> None:
    """`zcat FILE > /dev/null`: the floor of any command that reads the gzipped file."""
    subprocess.run(["zcat", str(path)], stdout=subprocess.DEVNULL, check=True)


def write_pvalues(path: Path, m: int, seed: int) -> None:
    np.savetxt(path, simulate(m, SIGNAL_SHARE, seed).pvalues, fmt="%.17g")


def write_table(path: Path, m: int, seed: int) -> None:
    """A gene label, a p-value and an e-value per row, gzip at its fastest level."""
    study = simulate(m, SIGNAL_SHARE, seed)
    genes = np.random.default_rng(seed).integers(0, GENES, m)
    with gzip.open(path, "wt", compresslevel=1) as file:
        file.write("gene\tp\te\n")
        for start in range(0, m, CHUNK_ROWS):
            rows = slice(start, start + CHUNK_ROWS)
            file.writelines(
                f"G{gene}\t{p!r}\t{e!r}\n"
                for gene, p, e in zip(genes[rows].tolist(), study.pvalues[rows].tolist(), study.evalues[rows].tolist())
            )


def cached_table(cache: Path, m: int, seed: int) -> Path:
    """The gzipped table of m rows in the cache directory, written there first if missing."""
    path = cache / f"table-v{TABLE_FORMAT}-{m}-{seed}.tsv.gz"
    if not path.exists():
        cache.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".partial")  # an interrupted write leaves no table behind
        write_table(partial, m, seed)
        partial.replace(path)
    return path


def expected_seconds(guard: SizeGuard, command: str, m: int) -> float:
    """The command's time at m, extrapolated linearly from the largest size timed (0 before any).

    A command reads its input once, so its time grows about linearly; a
    slope fitted between two sizes is unreliable here, where the start-up
    (seconds on a busy machine, and as noisy) can dominate both.
    """
    history = guard.history.get(command, [])
    if not history:
        return 0.0
    last_m, last_seconds = history[-1]
    return last_seconds * m / last_m


def command_line_runs(
    lines: list[int],
    rows: list[int],
    stream_rows: list[int],
    repeats: int,
    seed: int,
    guard: SizeGuard,
    directory: Path,
    cache: Path,
) -> list[CommandRun]:
    """`run by` on text files of `lines` p-values, `run closed-by` on gzipped tables of `rows` rows
    and `run by` on gzipped tables of `stream_rows` rows; each gzipped table also decompressed alone."""
    text: list[tuple[str, int, list[str], list[str]]] = [(TEXT_COMMAND, m, ["run", "by"], []) for m in lines]
    tables = [(TABLE_COMMAND, m, ["run", "closed-by"], ["--column", "p"]) for m in rows]
    tables += [(STREAM_COMMAND, m, ["run", "by"], ["--column", "p"]) for m in stream_rows]
    results = []
    for command, m, head, tail in text + tables:
        startup = measure({STARTUP: lambda: child_run(["--version"])}, repeats)[STARTUP]
        expected = expected_seconds(guard, command, m)
        if expected > guard.limit_seconds:
            results.append(CommandRun(command, m, None, startup.seconds, 0, None, f"skipped: about {expected:.0f} s"))
            continue
        gzipped = command != TEXT_COMMAND
        if gzipped:
            path = cached_table(cache, m, seed)
        else:
            path = directory / f"{m}-p.txt"
            write_pvalues(path, m, seed)
        calls: dict[str, Callable[[], object]] = {command: partial(child_run, [*head, str(path), *tail])}
        if gzipped:
            calls[ZCAT] = partial(decompress, path)
        runs = measure(calls, repeats)
        if not gzipped:
            path.unlink()
        run = runs[command]
        guard.record(command, m, run.seconds)
        assert isinstance(run.result, float)  # the peak memory of the warm-up
        zcat = runs[ZCAT].seconds if gzipped else None
        results.append(CommandRun(command, m, run.seconds, startup.seconds, run.runs, run.result, zcat_seconds=zcat))
    return results
