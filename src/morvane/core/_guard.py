"""Project code at arm's length.

A project file runs in this process (the registry holds the functions it
defines), so what its code may do to the process while it runs is contained
here, around each file's import (:func:`project_code`):

- the working directory, ``sys.stdout``, ``sys.stderr``, ``sys.stdin``, the
  ``builtins`` namespace, the signal mask and the handlers of the signals
  the command uses are put back as they were;
- standard output belongs to the command (``register --json`` prints one
  object): what the file prints goes to standard error, each line marked
  with the file's name;
- ``os._exit`` raises :class:`HardExit` instead of ending the process, and
  a ``KeyboardInterrupt`` that the file raises itself is told apart from a
  real Ctrl-C by the signal that came in (or not): it leaves the block as
  :class:`ProjectInterrupt`;
- an interval timer stops a file that runs past the time limit
  (:class:`ImportTimeout`). Where it cannot (the file waits or loops in
  native code with the signal blocked or not looked at), a watchdog names
  the file on standard error, and Ctrl-C still ends the command;
- threads the file starts and leaves running are noted
  (:func:`stray_threads`), so that the command does not wait for them.

:func:`release` drops what a failed import held (the namespaces of the
modules that failed, the locals of its traceback's frames), so that the
error cell that keeps the exception does not keep the file's memory too.
"""

from __future__ import annotations

import builtins
import faulthandler
import io
import math
import operator
import os
import select
import signal
import sys
import threading
import time
import traceback
import weakref
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any, NoReturn

__all__ = ["ImportTimeout", "ProjectInterrupt", "HardExit", "label", "project_code", "release", "stray_threads", "exit_now"]

# The process's own exit, kept before any project file can replace it.
exit_now = os._exit

# How long past the time limit the watchdog waits before it speaks: a file
# the timer stopped has ended by then.
GRACE = 2.0
# The timer fires again at this interval while a file keeps catching it.
REPEAT = 0.5


class ImportTimeout(BaseException):
    """Raised into a project file that runs past the time limit; not an
    ``Exception``, so that the file's own handlers do not swallow it."""


class ProjectInterrupt(BaseException):
    """A ``KeyboardInterrupt`` that project code raised itself, no signal
    having come in: its failure, not a request to stop."""


class HardExit(BaseException):
    """What ``os._exit`` raises while project code runs."""


class _Marked(io.TextIOBase):
    """A project file's standard output: each line written to ``stream``
    after the file's name."""

    def __init__(self, label: str, stream: Any) -> None:
        self._label = label
        self._stream = stream
        self._pending = ""

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        if not isinstance(text, str):
            raise TypeError(f"write() argument must be str, not {type(text).__name__}")
        lines = (self._pending + text).split("\n")
        self._pending = lines.pop()
        for line in lines:
            self._out(line)
        return len(text)

    def _out(self, line: str) -> None:
        try:
            self._stream.write(f"{self._label}: {line}\n")
        except (AttributeError, OSError, ValueError):
            pass

    def flush(self) -> None:
        try:
            self._stream.flush()
        except (AttributeError, OSError, ValueError):
            pass

    def fileno(self) -> int:
        return int(self._stream.fileno())

    # What code that looks at sys.stdout expects of a text stream: the
    # stream's own, unmarked (bytes written to the buffer go there as they are).
    @property
    def encoding(self) -> str:  # type: ignore[override]
        return getattr(self._stream, "encoding", None) or "utf-8"

    @property
    def errors(self) -> str | None:  # type: ignore[override]
        return getattr(self._stream, "errors", None)

    @property
    def buffer(self) -> Any:
        return self._stream.buffer

    def isatty(self) -> bool:
        return False

    def finish(self) -> None:
        if self._pending:
            self._out(self._pending)
            self._pending = ""
        self.flush()


class _Run:
    """The project code running now (one at a time: :data:`_lock`)."""

    def __init__(self, label: str, limit: float) -> None:
        self.label = label
        self.limit = limit
        self.started = time.monotonic()
        self.signals: set[int] = set()  # real signals that came in meanwhile
        self.done = False  # the project code has returned or raised


_lock = threading.RLock()
_current: _Run | None = None
_pid = os.getpid()
_strays: weakref.WeakKeyDictionary[threading.Thread, str] = weakref.WeakKeyDictionary()
_STOPPING: tuple[int, ...] = (signal.SIGINT, signal.SIGTERM)


def stray_threads() -> dict[threading.Thread, str]:
    """The threads project files started that still run and would keep the
    interpreter from exiting, with the file that started each."""
    return {t: label for t, label in list(_strays.items()) if t.is_alive() and not t.daemon}


def label(file: Path, project_dir: Path) -> str:
    """``file`` as the user knows it: relative to the project directory."""
    return file.relative_to(project_dir).as_posix() if file.is_relative_to(project_dir) else str(file)


def _guarded_exit(status: int) -> NoReturn:
    if os.getpid() != _pid:  # a child the project code forked exits as asked
        exit_now(status)
    raise HardExit(f"os._exit({status!r}) was called")


# -- the watchdog ---------------------------------------------------------------


class _Watchdog:
    """A thread that speaks when project code runs well past its limit, and
    ends the command on Ctrl-C while it does (the main thread cannot take
    the signal then)."""

    def __init__(self) -> None:
        self.cond = threading.Condition()
        self.run: _Run | None = None
        # When the thread wakes next by itself (monotonic seconds; infinity
        # while it waits for a run).  Read by watch() without the lock.
        self.wakes_at = math.inf
        self.read_fd, self.write_fd = os.pipe()
        os.set_blocking(self.read_fd, False)
        os.set_blocking(self.write_fd, False)
        self.thread = threading.Thread(target=self._loop, name="morvane watchdog", daemon=True)
        self.thread.start()

    def watch(self, run: _Run | None) -> None:
        """Watch ``run`` from now on (``None``: nothing runs).

        The thread is woken only when it would otherwise wake too late: a
        run whose deadline comes before the thread's own wake-up.  A run
        that ends, or is followed by one of the same limit, waits for that
        wake-up, where the thread looks again.  Waking the thread twice per
        file made it take the interpreter lock from the import in
        progress, which cost more than the import of a small file."""
        self.run = run
        if run is not None and run.started + run.limit + GRACE < self.wakes_at:
            with self.cond:
                self.cond.notify()

    def drain(self) -> bytes:
        data = b""
        try:
            while chunk := os.read(self.read_fd, 512):
                data += chunk
        except (BlockingIOError, OSError):
            pass
        return data

    def _loop(self) -> None:
        while True:
            with self.cond:
                while True:
                    # Set before self.run is read: a watch() that has not
                    # seen it yet sets self.run first, which is read next.
                    self.wakes_at = math.inf
                    run = self.run
                    if run is None:
                        self.cond.wait()
                        continue
                    deadline = run.started + run.limit + GRACE
                    self.wakes_at = deadline
                    left = deadline - time.monotonic()
                    if left <= 0 and self.run is run:
                        break
                    self.cond.wait(max(left, 0.0))
            self._overdue(run)

    def _overdue(self, run: _Run) -> None:
        self.drain()
        _say(f"{run.label} has run for {time.monotonic() - run.started:.0f} s, past the {run.limit:g} s "
             "time limit, and cannot be stopped (it waits or loops in native code); Ctrl-C ends the command")
        while self.run is run:
            ready, _, _ = select.select([self.read_fd], [], [], 0.25)
            if not ready:
                continue
            stops = [n for n in self.drain() if n in _STOPPING]
            if not stops:
                continue
            # The main thread gets a moment to take the signal itself.
            deadline = time.monotonic() + 1.0
            while self.run is run and time.monotonic() < deadline:
                time.sleep(0.05)
            if self.run is run:
                _say(f"interrupted while {run.label} ran")
                exit_now(128 + stops[0])


def _say(text: str) -> None:
    try:
        os.write(2, f"morvane: {text}\n".encode("utf-8", "backslashreplace"))
    except OSError:
        pass


_watchdog: _Watchdog | None = None
_profiling_dump = False  # faulthandler's dump is registered for SIGPROF


def _the_watchdog() -> _Watchdog:
    global _watchdog
    if _watchdog is None or _watchdog.thread.ident is None or not _watchdog.thread.is_alive():
        _watchdog = _Watchdog()
    return _watchdog


def _cpu_dump_ready() -> bool:
    """SIGPROF dumps the main thread's stack (from C, needing nothing of the
    interpreter): the watchdog of code that loops in native code without
    letting any Python thread run."""
    global _profiling_dump
    if not _profiling_dump and signal.getsignal(signal.SIGPROF) in (signal.SIG_DFL, None):
        try:
            faulthandler.register(signal.SIGPROF, file=sys.__stderr__ or 2, all_threads=False, chain=False)
        except (AttributeError, OSError, RuntimeError, ValueError, io.UnsupportedOperation):
            return False
        _profiling_dump = True
    return _profiling_dump


def _forget_cpu_dump() -> None:
    global _profiling_dump
    if _profiling_dump:
        faulthandler.unregister(signal.SIGPROF)
    _profiling_dump = False


# -- running project code ------------------------------------------------------


@contextmanager
def project_code(label: str, *, limit: float = 0.0) -> Iterator[None]:
    """Run the block as project code of ``label`` (a file's name as the
    user knows it), stopped after ``limit`` seconds (``0``: no limit).
    Nested use runs under the outer one."""
    global _current
    with _lock:
        if _current is not None:
            yield
            return
        run = _Run(label, limit)
        _current = run
        try:
            with _contained(run):
                yield
        except KeyboardInterrupt as exc:
            if run.signals:
                raise  # a real Ctrl-C (or SIGTERM)
            raise ProjectInterrupt("KeyboardInterrupt raised by the project code").with_traceback(
                exc.__traceback__) from exc
        finally:
            _current = None


def _handler_for(run: _Run, previous: Any) -> Any:
    def handler(signum: int, frame: Any) -> Any:
        run.signals.add(signum)
        if callable(previous):
            return previous(signum, frame)
        raise KeyboardInterrupt

    return handler


@contextmanager
def _contained(run: _Run) -> Iterator[None]:
    main = threading.current_thread() is threading.main_thread()
    saved_streams = (sys.stdout, sys.stderr, sys.stdin)
    saved_builtins = dict(vars(builtins))
    saved_exit = os._exit
    posix = sys.modules.get("posix")
    saved_posix_exit = getattr(posix, "_exit", None)
    try:
        cwd: int | None = os.open(".", os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        cwd = None
    threads_before = set(threading.enumerate())
    marked = _Marked(run.label, sys.stderr or sys.__stderr__)
    sys.stdout = marked
    setattr(os, "_exit", _guarded_exit)
    if posix is not None and saved_posix_exit is not None:
        setattr(posix, "_exit", _guarded_exit)
    handlers: dict[int, Any] = {}
    mask = None
    timed = wakeup = False
    previous_wakeup = -1
    watchdog = None
    try:
        if main:
            mask = signal.pthread_sigmask(signal.SIG_BLOCK, ())
            for signum in (*_STOPPING, signal.SIGALRM, signal.SIGPROF):
                handlers[signum] = signal.getsignal(signum)
            for signum in _STOPPING:
                previous = handlers[signum]
                if callable(previous) or (signum == signal.SIGINT and previous == signal.default_int_handler):
                    signal.signal(signum, _handler_for(run, previous))
            if run.limit > 0:
                watchdog = _the_watchdog()
                watchdog.drain()
                try:
                    previous_wakeup = signal.set_wakeup_fd(watchdog.write_fd, warn_on_full_buffer=False)
                    wakeup = True
                except ValueError:
                    pass
                if signal.getitimer(signal.ITIMER_REAL) == (0.0, 0.0):
                    def expire(signum: int, frame: Any) -> None:
                        if not run.done:
                            raise ImportTimeout(f"{run.label} ran for more than {run.limit:g} s "
                                                "(the import-timeout setting)")

                    signal.signal(signal.SIGALRM, expire)
                    signal.setitimer(signal.ITIMER_REAL, run.limit, REPEAT)
                    timed = True
                if signal.getitimer(signal.ITIMER_PROF) == (0.0, 0.0) and _cpu_dump_ready():
                    signal.setitimer(signal.ITIMER_PROF, run.limit + GRACE)
                watchdog.watch(run)
        elif run.limit > 0:
            watchdog = _the_watchdog()
            watchdog.watch(run)
        yield
    finally:
        # First the timer, so that it cannot fire into what follows.
        run.done = True
        if timed:
            signal.setitimer(signal.ITIMER_REAL, 0)
        if watchdog is not None:
            watchdog.watch(None)
        if main:
            if run.limit > 0 and _profiling_dump:
                signal.setitimer(signal.ITIMER_PROF, 0)
            if wakeup:
                try:
                    signal.set_wakeup_fd(previous_wakeup)
                except ValueError:
                    pass
            for signum, previous in handlers.items():
                if previous is not None and signal.getsignal(signum) is not previous:
                    signal.signal(signum, previous)
                    if signum == signal.SIGPROF:
                        _forget_cpu_dump()  # the project code's handler replaced it
            if mask is not None:
                signal.pthread_sigmask(signal.SIG_SETMASK, mask)
        marked.finish()
        sys.stdout, sys.stderr, sys.stdin = saved_streams
        setattr(os, "_exit", saved_exit)
        if posix is not None and saved_posix_exit is not None:
            setattr(posix, "_exit", saved_posix_exit)
        _restore_builtins(saved_builtins)
        if cwd is not None:
            try:
                os.fchdir(cwd)
            except OSError:
                pass
            os.close(cwd)
        for thread in threading.enumerate():
            if thread not in threads_before and not thread.daemon:
                _strays[thread] = run.label
    if run.signals:
        # A real Ctrl-C that the project code caught and went on from.
        raise KeyboardInterrupt


def _restore_builtins(saved: dict[str, Any]) -> None:
    namespace = vars(builtins)
    # The same keys and values, in the same order, compared by identity
    # alone (an equality test could run the project's code).
    if (len(namespace) == len(saved) and all(map(operator.is_, namespace, saved))
            and all(map(operator.is_, namespace.values(), saved.values()))):
        return
    for key in [k for k in namespace if k not in saved]:
        del namespace[key]
    for key, value in saved.items():
        if namespace.get(key, saved) is not value:
            namespace[key] = value


# -- after a failed import --------------------------------------------------------


def release(exc: BaseException, project_dir: Path) -> None:
    """Drop what the failed import that raised ``exc`` held: the namespace
    of each project module in its traceback that is no longer imported
    (the failed module and those that failed with it), and the locals of
    the traceback's frames. The traceback keeps its files and lines."""
    root = str(project_dir).rstrip(os.sep) + os.sep
    seen: set[int] = set()
    chained: list[BaseException] = []
    error: BaseException | None = exc
    while error is not None and id(error) not in seen and len(chained) < 100:
        seen.add(id(error))
        chained.append(error)
        error = error.__cause__ or error.__context__
    cleared: set[int] = set()
    for error in chained:
        tb = error.__traceback__
        while tb is not None:
            namespace = tb.tb_frame.f_globals
            if id(namespace) not in cleared:
                cleared.add(id(namespace))
                if _failed_project_namespace(namespace, root):
                    namespace.clear()
            tb = tb.tb_next
        if error.__traceback__ is not None:
            traceback.clear_frames(error.__traceback__)


def _failed_project_namespace(namespace: dict[str, Any], root: str) -> bool:
    name, location = namespace.get("__name__"), namespace.get("__file__")
    if not isinstance(name, str) or not isinstance(location, str):
        return False
    if not os.path.realpath(location).startswith(root):
        return False
    module = sys.modules.get(name)
    return module is None or getattr(module, "__dict__", None) is not namespace
