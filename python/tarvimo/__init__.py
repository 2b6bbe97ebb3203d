"""False-discovery-rate control with closed e-BH and closed BY."""

from importlib.metadata import version

__version__ = version("tarvimo")
