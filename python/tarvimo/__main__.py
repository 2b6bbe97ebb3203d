"""``python -m tarvimo``: the command line (see ``python -m tarvimo --help``)."""

from tarvimo._cli import command

if __name__ == "__main__":
    command()
