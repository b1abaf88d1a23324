"""The ``nervlane`` commands, one thin module each.

Each takes its options record (``nervlane.options``) and opens its sensor
through ``nervlane.sensor``; ``nervlane.cli`` imports a command's module
only when that command runs."""
