"""The problems that the command line reports in one line, without a traceback."""


class CliError(Exception):
    """A problem reported in one line, without a traceback."""


class TableError(Exception):
    """A problem with the input or output table, reported in one line."""


def one_line(message: str) -> str:
    return " ".join(message.split())
