"""The benchmark suite (``make bench``, ``python bench/run.py``).

- `run`: the command line of the suite: runs everything, writes the report, the plot and the figures.
- `workloads`: the timed comparisons on simulated data; `timing`: how they are timed.
- `command_line`: the command line end to end, in a child process.
- `adversarial`: input patterns that make the exact searches slow.
- `targets`: the targets the figures are held against; `markdown` and `plot`: the report and its plot.
"""
