"""The package logger.

``get_logger()`` returns the ``logging.Logger`` named "morvane". As a
library's logger it has a single ``logging.NullHandler`` and prints nothing by
itself: records propagate to whatever handlers the application configured
(``logging.basicConfig(...)``, pytest's capture, the command line's own
handler). The environment variable ``MORVANE_LOG_LEVEL`` (a level name such as
``INFO`` or ``debug``, or a number) sets the logger's level; without it the
level is left unset, so the application's configuration decides. Later calls
return the same logger at the cost of a global read.
"""

from __future__ import annotations

import logging
import os
import threading

__all__ = ["LOGGER_NAME", "LOG_LEVEL_ENV", "get_logger", "level_from_env"]

LOGGER_NAME = "morvane"
LOG_LEVEL_ENV = "MORVANE_LOG_LEVEL"

_logger: logging.Logger | None = None
_lock = threading.Lock()


def level_from_env() -> tuple[int | None, str | None]:
    """The level ``MORVANE_LOG_LEVEL`` asks for (``None`` when unset), and a
    complaint when the variable holds no level."""
    raw = os.environ.get(LOG_LEVEL_ENV, "").strip()
    if not raw:
        return None, None
    if raw.lstrip("-").isdigit():
        return int(raw), None
    level = logging.getLevelNamesMapping().get(raw.upper())
    if level is None:
        return None, f"{LOG_LEVEL_ENV}={raw!r} is not a log level; ignored"
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
        if not any(getattr(h, "_morvane_null", False) for h in logger.handlers):
            handler = logging.NullHandler()
            setattr(handler, "_morvane_null", True)
            logger.addHandler(handler)
        level, complaint = level_from_env()
        if level is not None:
            logger.setLevel(level)
        _logger = logger
    if complaint:
        logger.warning(complaint)
    return logger
