"""Benchmark tarvimo against its peers and against sorting; write docs/benchmarks.md and a plot.

python bench/run.py            # the full run (several minutes)
python bench/run.py --quick    # smaller sizes
"""

import argparse
import dataclasses
import json
import shlex
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
if not __package__:  # run as a script, python bench/run.py: import bench as a package from the checkout's root
    sys.path[0] = str(ROOT)

from bench import (  # noqa: E402  (after the path is set)
    adversarial,
    command_line,
    dask_family,
    machine,
    markdown,
    plot,
    workloads,
)

OUTPUT_OPTIONS = ("--output", "--plot", "--json", "--cache")
PRESETS: dict[str, dict[str, object]] = {
    "full": {
        "sizes": [1_000, 10_000, 100_000, 1_000_000, 10_000_000],
        "families": 1_000,
        "family_size": 10_000,
        "small_families": 20_000,
        "small_family_size": 100,
        "search_m": 1_000,
        "adversarial_sizes": [1_000, 3_000, 10_000, 30_000, 100_000, 300_000, 1_000_000],
        "random_patterns": 24,
        "top": 3,
        "command_lines": [2_000_000],
        "command_rows": [100_000, 1_000_000, 10_000_000],
        "stream_rows": [20_000_000],
        "dask_m": 2_000_000,
        "level_sizes": [10_000, 100_000, 1_000_000],
        "truncated_candidates": 1_000_000,
    },
    "quick": {
        "sizes": [1_000, 10_000, 100_000],
        "families": 100,
        "family_size": 10_000,
        "small_families": 2_000,
        "small_family_size": 100,
        "search_m": 500,
        "adversarial_sizes": [1_000, 3_000, 10_000, 30_000, 100_000],
        "random_patterns": 8,
        "top": 2,
        "command_lines": [200_000],
        "command_rows": [100_000, 1_000_000],
        "stream_rows": [2_000_000],
        "dask_m": 200_000,
        "level_sizes": [10_000, 100_000],
        "truncated_candidates": 100_000,
    },
}


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter, allow_abbrev=False
    )
    parser.add_argument("--quick", action="store_true", help="smaller sizes: m up to 1e5, 100 families")
    parser.add_argument("--sizes", type=int, nargs="+", metavar="M", help="m for the comparisons (default 1e3 ... 1e7)")
    parser.add_argument(
        "--shares",
        type=float,
        nargs="+",
        default=[0.01, 0.05, 0.2],
        metavar="SHARE",
        help="other signal shares for the closed procedures, at the second-largest size (default 0.01 0.05 0.2)",
    )
    parser.add_argument(
        "--families", type=int, metavar="N", help="number of families for the thread pool (default 1000)"
    )
    parser.add_argument("--family-size", type=int, metavar="M", help="hypotheses per family (default 10000)")
    parser.add_argument(
        "--small-families", type=int, metavar="N", help="number of small families, for the overhead (default 20000)"
    )
    parser.add_argument("--small-family-size", type=int, metavar="M", help="hypotheses per small family (default 100)")
    parser.add_argument(
        "--search-m", type=int, metavar="M", help="m at which adversarial patterns are scored (default 1000)"
    )
    parser.add_argument(
        "--adversarial-sizes", type=int, nargs="+", metavar="M", help="m for the growth of the slowest patterns"
    )
    parser.add_argument("--random-patterns", type=int, metavar="N", help="randomly drawn patterns per search")
    parser.add_argument("--top", type=int, metavar="N", help="slowest patterns per search followed to larger m")
    parser.add_argument(
        "--command-lines", type=int, nargs="+", metavar="M", help="lines of the files for `tarvimo run by`"
    )
    parser.add_argument(
        "--command-rows",
        type=int,
        nargs="+",
        metavar="M",
        help="rows of the gzipped tables for `tarvimo run closed-by`",
    )
    parser.add_argument(
        "--stream-rows",
        type=int,
        nargs="+",
        metavar="M",
        help="rows of the gzipped tables for `tarvimo run by` (default 20,000,000)",
    )
    parser.add_argument(
        "--cache",
        type=Path,
        default=ROOT / "build" / "bench-cache",
        help="directory of the gzipped tables, written once and reused (default build/bench-cache)",
    )
    parser.add_argument(
        "--dask-m", type=int, metavar="M", help="values of the one family decided on Dask (default 2,000,000)"
    )
    parser.add_argument(
        "--level-sizes", type=int, nargs="+", metavar="M", help="m for tarvimo.adjust (default 1e4 1e5 1e6)"
    )
    parser.add_argument(
        "--truncated-candidates",
        type=int,
        metavar="N",
        help="values given of the truncated lists (default 1,000,000)",
    )
    parser.add_argument(
        "--truncated-m", type=int, default=10**12, metavar="M", help="m of the truncated lists (default 1e12)"
    )
    parser.add_argument("--repeats", type=int, default=5, metavar="N", help="timed runs after the warm-up (default 5)")
    parser.add_argument(
        "--time-limit",
        type=float,
        default=150.0,
        metavar="S",
        help="skip a size where one call is expected to take longer (default 150 s)",
    )
    parser.add_argument(
        "--adversarial-limit",
        type=float,
        default=20.0,
        metavar="S",
        help="the same for the adversarial growth (default 20 s)",
    )
    parser.add_argument(
        "--time-cap",
        type=float,
        default=5.0,
        metavar="S",
        help="stop a call of the levels or the truncated lists after this long, reported as > cap (default 5 s)",
    )
    parser.add_argument("--alpha", type=float, default=0.05, help="level (default 0.05)")
    parser.add_argument("--seed", type=int, default=20240611, help="seed of the simulated data")
    parser.add_argument("--output", type=Path, default=ROOT / "docs" / "benchmarks.md", help="report (Markdown)")
    parser.add_argument("--plot", type=Path, default=ROOT / "docs" / "benchmarks.png", help="plot (PNG)")
    parser.add_argument("--json", type=Path, help="also write the raw figures as JSON")
    arguments = parser.parse_args(argv)
    for key, value in PRESETS["quick" if arguments.quick else "full"].items():
        if getattr(arguments, key) is None:
            setattr(arguments, key, value)
    return arguments


def figure_arguments(argv: list[str]) -> list[str]:
    """The arguments without the output and cache paths, which do not change the figures."""
    kept, skip_value = [], False
    for item in argv:
        if skip_value:
            skip_value = False
        elif item in OUTPUT_OPTIONS:
            skip_value = True
        elif not item.startswith(tuple(f"{option}=" for option in OUTPUT_OPTIONS)):
            kept.append(item)
    return kept


def progress(message: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def raw_figures(results: dict[str, object]) -> dict[str, object]:
    """The results as JSON-ready data; a pattern is named by its search and description."""

    def plain(item: object) -> object:
        if isinstance(item, adversarial.Pattern):
            return {"search": item.search, "name": item.name}
        if dataclasses.is_dataclass(item) and not isinstance(item, type):
            fields = {f.name: plain(getattr(item, f.name)) for f in dataclasses.fields(item)}
            if isinstance(item, workloads.Comparison):
                fields["ratio"] = item.ratio
            if isinstance(item, adversarial.Growth):
                fields.update(exponent=item.exponent, verdict=item.verdict)
            if isinstance(item, adversarial.LevelScore):
                fields["exponent"] = item.exponent
            if isinstance(item, machine.SortProbe):
                fields["vectorised"] = item.vectorised
            return fields
        if isinstance(item, list):
            return [plain(element) for element in item]
        return item

    return {key: plain(value) for key, value in results.items()}


def main(argv: list[str] | None = None) -> int:
    arguments = parse_arguments(argv)
    started = time.perf_counter()
    guard = workloads.SizeGuard(arguments.time_limit)
    alpha, repeats, seed, cap = arguments.alpha, arguments.repeats, arguments.seed, arguments.time_cap

    progress("numpy's sort: vectorised or not")
    probe = machine.probe_sort(seed)
    progress("step-up procedures against statsmodels, scipy and numpy")
    peers, peer_checks = workloads.step_up_against_peers(arguments.sizes, alpha, repeats, seed)
    progress("closed procedures against numpy.sort")
    closed = workloads.closed_against_sort(arguments.sizes, arguments.shares, alpha, repeats, seed, guard)
    progress("exact searches on lists against the conversion alone")
    searches, search_checks = workloads.searches_against_conversion(arguments.sizes, alpha, repeats, seed, guard)
    progress(f"{arguments.families:,} families of {arguments.family_size:,} on 1 and 2 threads")
    families, family_checks = workloads.many_families(arguments.families, arguments.family_size, alpha, repeats, seed)
    progress(f"{arguments.small_families:,} families of {arguments.small_family_size:,}")
    small, small_checks = workloads.many_families(
        arguments.small_families, arguments.small_family_size, alpha, repeats, seed
    )
    families += small
    family_checks += small_checks
    progress("adjusted p-values")
    levels, level_checks = workloads.levels_against_floors(arguments.level_sizes, alpha, repeats, seed, cap)
    progress(f"truncated lists of {arguments.truncated_candidates:,} with m = {arguments.truncated_m:,}")
    truncated_runs = workloads.truncated_lists(
        arguments.truncated_candidates, arguments.truncated_m, alpha, repeats, seed, cap
    )
    progress("the command line end to end")
    with tempfile.TemporaryDirectory() as directory:
        command_runs = command_line.command_line_runs(
            arguments.command_lines,
            arguments.command_rows,
            arguments.stream_rows,
            repeats,
            seed,
            guard,
            Path(directory),
            arguments.cache,
        )
    progress(f"one family of {arguments.dask_m:,} on Dask past the client's limit")
    dask_runs = dask_family.dask_one_family_runs(arguments.dask_m, alpha, repeats, seed)
    progress("adversarial patterns")
    scores, growths = adversarial.find_and_grow(
        arguments.search_m,
        arguments.adversarial_sizes,
        arguments.random_patterns,
        arguments.top,
        alpha,
        repeats,
        arguments.adversarial_limit,
        seed,
    )
    progress("adversarial patterns for the closed levels")
    level_scores, level_growths = adversarial.find_and_grow_levels(
        arguments.search_m,
        arguments.adversarial_sizes,
        arguments.random_patterns,
        arguments.top,
        alpha,
        repeats,
        arguments.adversarial_limit,
        cap,
        seed,
    )
    agreements = peer_checks + search_checks + family_checks + level_checks + dask_family.agreements(dask_runs)
    total_seconds = time.perf_counter() - started

    arguments.output.parent.mkdir(parents=True, exist_ok=True)
    arguments.plot.parent.mkdir(parents=True, exist_ok=True)
    plot.plot(arguments.plot, peers + closed, levels, searches, growths + level_growths)
    settings = {
        "alpha": f"{alpha:g}",
        "repeats": str(repeats),
        "time limit": f"{arguments.time_limit:g} s",
        "adversarial limit": f"{arguments.adversarial_limit:g} s",
        "time cap": f"{cap:g} s",
        "seed": str(seed),
    }
    command = shlex.join(["python", "bench/run.py", *figure_arguments(sys.argv[1:] if argv is None else argv)])
    arguments.output.write_text(
        markdown.markdown(
            command=command,
            total_seconds=total_seconds,
            settings=settings,
            peers=peers,
            closed=closed,
            searches=searches,
            families=families,
            levels=levels,
            command_runs=command_runs,
            dask_runs=dask_runs,
            truncated_runs=truncated_runs,
            scores=scores,
            growths=growths,
            level_scores=level_scores,
            level_growths=level_growths,
            agreements=agreements,
            search_m=arguments.search_m,
            plot_name=arguments.plot.name,
            probe=probe,
        )
    )
    if arguments.json is not None:
        results = {
            "total_seconds": total_seconds,
            "peers": peers,
            "closed": closed,
            "searches": searches,
            "families": families,
            "levels": levels,
            "command_line": command_runs,
            "dask": dask_runs,
            "truncated": truncated_runs,
            "scores": scores,
            "growths": growths,
            "level_scores": level_scores,
            "level_growths": level_growths,
            "agreements": agreements,
            "sort_probe": probe,
        }
        arguments.json.write_text(json.dumps(raw_figures(results), indent=1))
    progress(f"wrote {arguments.output} and {arguments.plot} after {total_seconds / 60:.1f} minutes")
    disagreements = [a for a in agreements if not a.equal]
    for a in disagreements:
        print(f"DISAGREEMENT at m = {a.m}: {a.what}", file=sys.stderr)
    return 1 if disagreements else 0


if __name__ == "__main__":
    sys.exit(main())
