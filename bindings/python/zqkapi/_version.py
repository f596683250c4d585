"""The binding's release: the zqkAPI release it was written for."""

__version__ = "1.1.0"
