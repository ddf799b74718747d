"""Velmor platform: vehicle-design products stored as OpenUSD files."""

__version__ = "0.1.0"
