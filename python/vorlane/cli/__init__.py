"""The command line: ``vorlane check PATH...`` (also ``python -m vorlane check PATH...``).

Checks files and directories (recursively, by the ``--include`` globs) with vorlane's
defaults or the limits given as flags, in parallel, and reports each file as ``ok``,
``refused`` (the exception class and the declaration or limit that was refused),
``malformed`` (the parser's message) or ``error`` (the file could not be read or checked).
Exit status: 0 when every file is ok, 1 when any was refused or malformed, 2 for a usage
error, an unreadable path, a directory in which nothing matched, or a report that could
not be written.

The parts: :mod:`~vorlane.cli.discover` chooses the files, :mod:`~vorlane.cli.checking`
checks them, :mod:`~vorlane.cli.writers` reports them, :mod:`~vorlane.cli.command` reads
the arguments and runs it all.
"""

from vorlane.cli.checking import check_file, check_files
from vorlane.cli.command import main
from vorlane.cli.discover import DEFAULT_INCLUDE
from vorlane.cli.outcome import Outcome
from vorlane.cli.writers import sarif_log

__all__ = ["DEFAULT_INCLUDE", "Outcome", "check_file", "check_files", "main", "sarif_log"]
