"""The package logger.

``get_logger()`` returns the ``logging.Logger`` named "morvane". The first
call gives it one handler that writes to the standard error stream current at
the time of each record, and a level taken from the environment variable
``MORVANE_LOG_LEVEL`` (a level name such as ``INFO`` or ``debug``, or a
number; default ``WARNING``). Later calls return the same logger at the cost
of a global read; no handler is ever added twice.
"""

from __future__ import annotations

import logging
import os
import sys
import threading

__all__ = ["LOGGER_NAME", "LOG_LEVEL_ENV", "get_logger"]

LOGGER_NAME = "morvane"
LOG_LEVEL_ENV = "MORVANE_LOG_LEVEL"

_logger: logging.Logger | None = None
_lock = threading.Lock()


class _StderrHandler(logging.StreamHandler):
    """Writes to whatever ``sys.stderr`` is when a record is emitted."""

    def __init__(self) -> None:
        logging.Handler.__init__(self)

    @property
    def stream(self):  # type: ignore[override]
        return sys.stderr

    @stream.setter
    def stream(self, value) -> None:  # StreamHandler.setStream assigns it
        pass


def _level_from_env() -> tuple[int, str | None]:
    """The configured level, and a complaint when the variable is invalid."""
    raw = os.environ.get(LOG_LEVEL_ENV, "").strip()
    if not raw:
        return logging.WARNING, None
    if raw.lstrip("-").isdigit():
        return int(raw), None
    level = logging.getLevelNamesMapping().get(raw.upper())
    if level is None:
        return logging.WARNING, f"{LOG_LEVEL_ENV}={raw!r} is not a log level; using WARNING"
    return level, None


def get_logger() -> logging.Logger:
    """The "morvane" logger, configured on the first call."""
    logger = _logger
    if logger is not None:
        return logger
    return _configure()


def _configure() -> logging.Logger:
    global _logger
    with _lock:
        if _logger is not None:
            return _logger
        logger = logging.getLogger(LOGGER_NAME)
        # Marked by an attribute rather than by class, so that reloading this
        # module does not add a second handler.
        if not any(getattr(h, "_morvane_stderr", False) for h in logger.handlers):
            handler = _StderrHandler()
            handler._morvane_stderr = True
            handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s", "%H:%M:%S"))
            logger.addHandler(handler)
        level, complaint = _level_from_env()
        logger.setLevel(level)
        _logger = logger
    if complaint:
        logger.warning(complaint)
    return logger
