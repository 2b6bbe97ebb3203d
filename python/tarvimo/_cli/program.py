"""The program: parse the arguments, run the command, and end with its exit code.

Problems end the program with a one-line message on standard error and a
non-zero exit code: 2 for a bad option or combination of options, 1 for bad
data (a missing file, a malformed value, a value outside the domain). A
reader that closes the output early (``| head``) ends the program quietly
with the status of a process stopped by SIGPIPE. SIGTERM (``kill``, a job
scheduler's time limit) unwinds the command as Ctrl-C does, so that its
temporary copy of standard input is removed, and ends it with the status of
a process stopped by SIGTERM.
"""

import os
import signal
import sys
from collections.abc import Sequence
from typing import NoReturn

from tarvimo._cli.arguments import PROG, build_parser, option_conflict
from tarvimo._cli.errors import CliError, TableError

BROKEN_PIPE_STATUS = 128 + signal.SIGPIPE  # what a shell reports for a process stopped by SIGPIPE
INTERRUPTED_STATUS = 128 + signal.SIGINT  # and for one stopped by Ctrl-C
TERMINATED_STATUS = 128 + signal.SIGTERM  # and by SIGTERM


class Terminated(BaseException):
    """SIGTERM arrived; raised from its handler so that the command unwinds through its clean-ups."""


def raise_terminated(signum: int, frame: object) -> NoReturn:
    raise Terminated


def quiet_broken_pipe() -> int:
    """Stop writing to a closed standard output without an error message at exit."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    return BROKEN_PIPE_STATUS


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line on `argv` (default: the program's arguments); returns the exit code."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "run" and (conflict := option_conflict(args)) is not None:
        parser.error(conflict)
    try:
        args.action(args)
        sys.stdout.flush()
    except (CliError, TableError) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        return quiet_broken_pipe()
    except KeyboardInterrupt:
        return INTERRUPTED_STATUS
    except Terminated:
        return TERMINATED_STATUS
    return 0


def command() -> NoReturn:
    """Entry point of ``python -m tarvimo`` and the ``tarvimo`` script: `main`, then the end of the process.

    The process ends without finalizing the interpreter. A table reader given
    up early (bad data, Ctrl-C) leaves pyarrow's I/O thread reading the input:
    finalization would wait for its read as long as the writer of a pipe
    takes, and the thread, needing the interpreter after that, aborts the
    process from within pyarrow (SIGABRT instead of the exit status).
    """
    signal.signal(signal.SIGTERM, raise_terminated)
    status = main()
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except BrokenPipeError:
        status = quiet_broken_pipe()
    os._exit(status)
