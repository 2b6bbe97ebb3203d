"""``python -m tarvimo`` and the ``tarvimo`` script: the command line (see ``python -m tarvimo --help``)."""

import sys
from collections.abc import Sequence
from importlib.abc import MetaPathFinder
from importlib.machinery import ModuleSpec
from types import ModuleType

PANDAS = "pandas"


class PandasRefused(MetaPathFinder):
    """An import hook under which importing pandas fails as if it were not installed."""

    def find_spec(
        self, fullname: str, path: Sequence[str] | None, target: ModuleType | None = None
    ) -> ModuleSpec | None:
        if fullname == PANDAS:
            raise ModuleNotFoundError(f"No module named {PANDAS!r}", name=PANDAS)
        return None


def pyarrow_without_pandas() -> None:
    """Lets pyarrow work as where pandas is not installed, unless pandas is loaded already.

    pyarrow imports pandas (about 43 MB) the first time it makes a value, only
    to recognise pandas objects, which the command line never gives it. An
    import that fails then tells pyarrow, once for the process, that pandas
    is absent: an install without pandas, which pyarrow supports. Later
    imports of pandas itself work as usual, but pyarrow then takes a pandas
    object as the numpy array it holds (a missing value as NaN, not null).
    """
    if PANDAS in sys.modules:
        return
    import pyarrow as pa

    refused = PandasRefused()
    sys.meta_path.insert(0, refused)
    try:
        pa.scalar(0)  # pyarrow looks for pandas once, on its first value
    finally:
        sys.meta_path.remove(refused)


def command() -> None:
    """The entry point: the command line, without pandas in memory unless it needs it."""
    pyarrow_without_pandas()
    from tarvimo._cli import command as program

    program()


if __name__ == "__main__":
    command()
