"""norvox: operations toolkit for a fleet of Dederi smart electricity meters."""

__version__ = "0.1.0"
