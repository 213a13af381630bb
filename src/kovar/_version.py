# The package's version, read from here by the build for the metadata.
__version__ = "0.1.0"
