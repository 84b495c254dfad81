"""The package's version, read by the build as well."""

__version__ = "0.1.0"
