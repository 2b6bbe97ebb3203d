"""One family on Dask whose candidates exceed the client's limit: tarvimo.dask on a local cluster
of two worker processes, with the counting passes that shrink the candidates until they fit
`max_candidates`, against the in-memory call on the same values.

python -m bench.dask_family [--m M]   # this table alone, in markdown
"""

import argparse
import logging
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

import tarvimo
from bench.timing import measure
from bench.workloads import Agreement, simulate

DASK_SIGNAL_SHARE = 0.01
LIMIT_SHARE = 0.01  # max_candidates as a share of m: 20,000 at m = 2,000,000
PARTITIONS = 20
# (name, in-memory procedure, Dask procedure's name and options, evidence)
DASK_PROCEDURES = (
    ("by", tarvimo.by, "by", {}, "p"),
    ("closed_by exact", tarvimo.closed_by, "closed_by", {}, "p"),
    (
        "closed_by approximate",
        lambda v, a: tarvimo.closed_by(v, a, approximate=True),
        "closed_by",
        {"approximate": True},
        "p",
    ),
    ("ebh", tarvimo.ebh, "ebh", {}, "e"),
)


@dataclass(frozen=True)
class DaskRun:
    """One procedure on one family on Dask: the passes it took, whether it decided, and its time."""

    m: int
    procedure: str
    max_candidates: int
    passes: int
    candidates: int | None  # after the passes; None when no pass ran
    decided: bool
    equal: bool | None  # the mask against the in-memory call; None when refused
    seconds: float  # the call and the computation of the result, or the call until it refused
    in_memory_seconds: float
    runs: int
    detail: str = ""

    @property
    def ratio(self) -> float:
        return self.seconds / self.in_memory_seconds


class PassRecorder(logging.Handler):
    """Keeps the counting passes that tarvimo.dask logs."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.passes: list[tuple[int, int]] = []

    def emit(self, record: logging.LogRecord) -> None:
        if hasattr(record, "passes"):
            self.passes.append((record.passes, record.narrowed))


def decided_on_dask(call: Callable[[], object]) -> tuple[NDArray[np.bool_] | None, list[tuple[int, int]], str]:
    """The computed mask (None if refused), the passes logged, and the refusal's message."""
    recorder = PassRecorder()
    logger = logging.getLogger("tarvimo.dask")
    logger.addHandler(recorder)
    level = logger.level
    logger.setLevel(logging.DEBUG)
    try:
        result = call()
        return result.compute().to_numpy(), recorder.passes, ""  # type: ignore[attr-defined]
    except ValueError as refused:
        return None, recorder.passes, str(refused)
    finally:
        logger.removeHandler(recorder)
        logger.setLevel(level)


def dask_one_family_runs(m: int, alpha: float, repeats: int, seed: int) -> list[DaskRun]:
    """Each procedure on a family of m values with 1% signals in PARTITIONS partitions on a local cluster
    of two worker processes of one thread, with max_candidates = m / 100."""
    import dask.dataframe as dd
    import distributed
    import pandas as pd

    import tarvimo.dask

    study = simulate(m, DASK_SIGNAL_SHARE, seed)
    columns = {"p": study.pvalues, "e": study.evalues}
    limit = round(LIMIT_SHARE * m)
    runs = []
    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        distributed.Client(cluster),
    ):
        frame = dd.from_pandas(pd.DataFrame(columns), npartitions=PARTITIONS).persist()
        tarvimo.dask.by(frame, "p", alpha).compute()  # the workers import tarvimo before anything is timed
        for name, in_memory, dask_name, options, column in DASK_PROCEDURES:
            values = columns[column]
            dask_call = getattr(tarvimo.dask, dask_name)

            def on_dask(call=dask_call, column=column, options=options):  # noqa: ANN001, ANN202
                return decided_on_dask(lambda: call(frame, column, alpha, max_candidates=limit, **options))

            timed = measure({name: on_dask, "in memory": lambda f=in_memory, v=values: f(v, alpha)}, repeats)
            mask, passes, refusal = timed[name].result  # type: ignore[misc]
            expected = timed["in memory"].result
            count, narrowed = passes[-1] if passes else (0, None)
            decided = mask is not None
            detail = f"{int(np.count_nonzero(mask)):,} rejections" if decided else "refused: " + refusal.split(";")[0]
            runs.append(
                DaskRun(
                    m,
                    name,
                    limit,
                    count,
                    narrowed,
                    decided,
                    bool(np.array_equal(mask, expected)) if decided else None,
                    timed[name].seconds,
                    timed["in memory"].seconds,
                    timed[name].runs,
                    detail,
                )
            )
    return runs


def agreements(runs: list[DaskRun]) -> list[Agreement]:
    """The masks of the runs that decided, against the in-memory call."""
    return [
        Agreement(r.m, f"{r.procedure} on Dask, one family, against in memory", bool(r.equal))
        for r in runs
        if r.decided
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--m", type=int, default=2_000_000, help="hypotheses in the family (default 2,000,000)")
    parser.add_argument("--alpha", type=float, default=0.05)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--seed", type=int, default=20240611)
    arguments = parser.parse_args()
    from bench.markdown import dask_table  # the report's module imports this one

    print(dask_table(dask_one_family_runs(arguments.m, arguments.alpha, arguments.repeats, arguments.seed)))


if __name__ == "__main__":
    main()
