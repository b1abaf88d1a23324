"""Command-line tools and a virtual sensor for nervlane_comm_py."""


def package_version() -> str:
    """The installed distribution's version (``nervlane-comm``), which need
    not be the module's ``__version__``."""
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("nervlane-comm")
    except PackageNotFoundError:
        return "(not installed)"
