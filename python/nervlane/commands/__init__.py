"""The ``nervlane`` commands, one module each; ``nervlane.cli`` parses the
arguments into options and imports a command's module only when it runs."""
