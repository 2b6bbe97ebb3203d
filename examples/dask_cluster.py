"""The procedures on a Dask DataFrame on a local cluster, against the in-memory calls.

Simulates a study of 10,000,000 p-values in 20 partitions on a
distributed.LocalCluster (two worker processes, one thread each), with a
family column of 2,000 genes spread over every partition. It runs BY and
closed BY per gene (one shuffle on the gene column, and the decisions shuffled
back), and BY, closed BY, e-BH and closed e-BH on the whole study as one family; then the
same in-memory calls on the gathered columns, and prints the rejections, both
times and whether the decisions are the same.

    pip install '.[dask]'
    python examples/dask_cluster.py [--hypotheses M] [--partitions N] [--families F] [--workers W]
"""

import argparse
import logging
import os
import time

import dask.dataframe as dd
import numpy as np
import pandas as pd
from distributed import Client, LocalCluster

import tarvimo
import tarvimo.dask

ALPHA = 0.05
SIGNAL_SHARE = 0.05  # the share of false null hypotheses
SIGNAL_POWER = 20  # a signal's p-value is U ** 20 for U uniform: mostly far below alpha


def simulated_partition(number: int, rows: int, families: int, seed: int) -> pd.DataFrame:
    """One partition of the study, made on the worker from its own seed.

    Null p-values are uniform, a signal's is U ** 20. The e-values are the p-to-e calibration
    0.5 / sqrt(p), valid for any p-value.
    """
    rng = np.random.default_rng([seed, number])
    p = rng.random(rows)
    signal = rng.random(rows) < SIGNAL_SHARE
    p[signal] = p[signal] ** SIGNAL_POWER
    gene = rng.integers(0, families, rows)
    index = pd.RangeIndex(number * rows, (number + 1) * rows, name="test")
    return pd.DataFrame({"gene": gene, "p": p, "e": 0.5 / np.sqrt(p)}, index=index)


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hypotheses", type=int, default=10_000_000)
    parser.add_argument("--partitions", type=int, default=20)
    parser.add_argument("--families", type=int, default=2_000)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--seed", type=int, default=20240611)
    args = parser.parse_args()
    rows = args.hypotheses // args.partitions

    cluster = LocalCluster(
        n_workers=args.workers, threads_per_worker=1, dashboard_address=None, silence_logs=logging.ERROR
    )
    with cluster, Client(cluster):
        meta = simulated_partition(0, 0, args.families, args.seed)
        frame = dd.from_map(
            simulated_partition, range(args.partitions), rows=rows, families=args.families, seed=args.seed, meta=meta
        ).persist()  # simulated once, kept on the workers: the times below are the procedures'
        local = frame.compute()
        print(
            f"{len(local):,} hypotheses in {frame.npartitions} partitions, {args.families:,} genes, alpha {ALPHA}, "
            f"{args.workers} worker processes of one thread; {os.cpu_count()} cores, load {os.getloadavg()[0]:.1f}."
        )
        p, e, genes = local["p"].to_numpy(), local["e"].to_numpy(), local["gene"].to_numpy()
        runs = [
            (
                "by",
                "per gene",
                lambda: tarvimo.dask.by(frame, "p", ALPHA, groups="gene"),
                lambda: tarvimo.by(p, ALPHA, groups=genes),
            ),
            (
                "closed_by",
                "per gene",
                lambda: tarvimo.dask.closed_by(frame, "p", ALPHA, groups="gene"),
                lambda: tarvimo.closed_by(p, ALPHA, groups=genes),
            ),
            ("by", "one family", lambda: tarvimo.dask.by(frame, "p", ALPHA), lambda: tarvimo.by(p, ALPHA)),
            (
                "closed_by",
                "one family",
                lambda: tarvimo.dask.closed_by(frame, "p", ALPHA),
                lambda: tarvimo.closed_by(p, ALPHA),
            ),
            ("ebh", "one family", lambda: tarvimo.dask.ebh(frame, "e", ALPHA), lambda: tarvimo.ebh(e, ALPHA)),
            (
                "closed_ebh",
                "one family",
                lambda: tarvimo.dask.closed_ebh(frame, "e", ALPHA),
                lambda: tarvimo.closed_ebh(e, ALPHA),
            ),
            (
                "closed_ebh conservative",
                "one family",
                lambda: tarvimo.dask.closed_ebh(frame, "e", ALPHA, conservative=True),
                lambda: tarvimo.closed_ebh(e, ALPHA),
            ),
        ]
        print(f"\n{'procedure':<24} {'families':<11} {'rejections':>10} {'dask (s)':>9} {'in memory (s)':>14}  same")
        for name, families, on_dask, in_memory in runs:
            decided, dask_time = timed(lambda: on_dask().compute())
            expected, memory_time = timed(in_memory)
            same = "yes" if np.array_equal(decided.to_numpy(), expected) else "no"
            if "conservative" in name and (decided.to_numpy() <= expected).all():
                same += f" (a subset of the exact {int(expected.sum()):,})"
            print(f"{name:<24} {families:<11} {int(decided.sum()):>10,} {dask_time:>9.2f} {memory_time:>14.2f}  {same}")


if __name__ == "__main__":
    main()
