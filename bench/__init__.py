"""The benchmark suite (``make bench``, ``python bench/run.py``).

- `run`: the command line of the suite: runs everything, writes the report, the plot and the figures.
- `workloads`: the timed comparisons on simulated data (procedures, levels, truncated lists);
  `timing`: how they are timed, and the time cap that stops a slow call.
- `machine`: the CPU and whether numpy's sort is vectorised on it.
- `command_line`: the command line end to end, in a child process.
- `adversarial`: input patterns that make the exact searches and the closed levels slow, and their growth.
- `targets`: the targets the figures are held against; `markdown` and `plot`: the report and its plot.
"""
