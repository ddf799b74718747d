"""Velmor platform: vehicle-design products stored as OpenUSD files."""

from typing import Any


def __getattr__(name: str) -> Any:
    # The version has one source, the installed distribution's metadata; it
    # is looked up on first use so that importing the package stays cheap.
    if name == "__version__":
        from importlib import metadata

        try:
            version = metadata.version("velmor_platform")
        except metadata.PackageNotFoundError:
            version = "0+unknown"
        globals()["__version__"] = version
        return version
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
