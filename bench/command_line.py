"""The command line end to end: `tarvimo run` in a child process on files
written for it, against the start-up of the same program, with the child's
peak memory against the size of the values it reads."""

import gzip
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from bench.timing import measure
from bench.workloads import SIGNAL_SHARE, SizeGuard, simulate

STARTUP = "tarvimo --version"  # start-up and imports of the same program, the yardstick
TEXT_COMMAND = "run by, one p-value per line"
TABLE_COMMAND = "run closed-by, gzipped TSV of 3 columns"
GENES = 20_000  # distinct labels in the gene column of the table
CHUNK_ROWS = 1_000_000  # rows formatted at a time when writing the table
# The program's entry point, which ends the process at once, with the peak
# resident memory written to standard error before the end.
PEAK_REPORTING_LAUNCHER = """
import os, sys
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

    @property
    def values_mib(self) -> float:
        """Size of the values read, as float64."""
        return self.m * 8 / 2**20


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


def command_line_runs(
    lines: list[int], rows: list[int], repeats: int, seed: int, guard: SizeGuard, directory: Path
) -> list[CommandRun]:
    """`run by` on text files of `lines` p-values and `run closed-by` on gzipped tables of `rows` rows."""
    cases = [(TEXT_COMMAND, m, write_pvalues, "p.txt", ["run", "by"], []) for m in lines]
    cases += [(TABLE_COMMAND, m, write_table, "t.tsv.gz", ["run", "closed-by"], ["--column", "p"]) for m in rows]
    results = []
    for command, m, write, name, head, tail in cases:
        startup = measure({STARTUP: lambda: child_run(["--version"])}, repeats)[STARTUP]
        if not guard.allows(command, m):
            expected = guard.expected(command, m)
            results.append(CommandRun(command, m, None, startup.seconds, 0, None, f"skipped: about {expected:.0f} s"))
            continue
        path = directory / f"{m}-{name}"
        write(path, m, seed)
        run = measure({command: lambda: child_run([*head, str(path), *tail])}, repeats)[command]
        path.unlink()
        guard.record(command, m, run.seconds)
        assert isinstance(run.result, float)  # the peak memory of the warm-up
        results.append(CommandRun(command, m, run.seconds, startup.seconds, run.runs, run.result))
    return results
