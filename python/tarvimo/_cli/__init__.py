"""The command line: ``tarvimo demo`` and ``tarvimo run METHOD FILE``.

- `program`: `main` and `command`, the entry point; exit codes.
- `arguments`: the options and the combinations of them that are refused.
- `demo`: the simulated study of ``tarvimo demo``.
- `run`: ``tarvimo run``, from the values read to the report or the table written.
- `layout`, `numbers`, `reading`, `writing`: tables, from the name of a file
  to the numbers of a column and back to a file with the decisions.
- `candidates`: the values of a column that can change a decision, kept batch by batch.
- `spool`: standard input copied to a temporary file, to be read twice.
- `progress`: progress bars and the elapsed time on a terminal; `errors`: the problems reported in one line.
"""

from tarvimo._cli.program import command, main

__all__ = ["command", "main"]
