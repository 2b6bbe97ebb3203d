"""Counts in words: one hypothesis, two hypotheses."""


def plural(count: int, one: str, many: str) -> str:
    """`one` for a count of 1, else `many`."""
    return one if count == 1 else many


def counted(count: int, one: str, many: str) -> str:
    """The count with thousands separators and the word that goes with it: "1 family", "2,000 families"."""
    return f"{count:,} {plural(count, one, many)}"
