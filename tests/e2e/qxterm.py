"""Runs quillex in a pseudo-terminal and reads the screen a person would see (pyte)."""
import fcntl
import os
import re
import select
import signal
import struct
import subprocess
import termios
import time

import pyte

QUILLEX = os.environ.get("QX_QUILLEX", "")
COLS, ROWS = 100, 50
WAIT = 10.0  # seconds before a wait counts as a hang

SYNTAX_FIRST = "syntax: Quillex.exe <file(s)> [- e|d] [-l] [-n]"
CLOSING = "session closed, any key to continue..."
PROCEED = "press any key to proceed..."
ESC = b"\x1b"
ENTER = b"\r"


def program_env(size=None):
    rows, cols = size or (ROWS, COLS)
    env = {k: v for k, v in os.environ.items() if not k.startswith("LC_")}
    env.update(LANG="C.UTF-8", TERM="xterm", COLUMNS=str(cols), LINES=str(rows))
    return env


def plain(raw):
    """Output bytes without escape sequences, as text."""
    text = raw.decode("utf-8", "replace")
    return re.sub(r"\x1b(\[[0-9;?]*[ -/]*[@-~]|[()][0-9A-Za-z]|[@-Z\\-_])", "", text)


class Terminal:
    """quillex started with a pty as its controlling terminal and as stdin/stdout/stderr,
    in a window of `size` (rows, columns), ROWS x COLS unless given."""

    def __init__(self, args, cwd, program, stdout=None, argv0=None, stdin=None, size=None):
        rows, cols = size or (ROWS, COLS)
        master, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))
        self.initial_lflag = termios.tcgetattr(slave)[3]  # the mode the program must leave behind
        self.master = master
        self.screen = pyte.Screen(cols, rows)
        self.stream = pyte.ByteStream(self.screen)
        self.raw = b""
        self.proc = subprocess.Popen(
            [argv0 or program, *args], executable=program, cwd=cwd, env=program_env((rows, cols)),
            stdin=slave if stdin is None else stdin,
            stdout=slave if stdout is None else stdout, stderr=slave,
            start_new_session=True,
            # stderr is always the terminal; stdin may be a pipe (a password fed by a script).
            preexec_fn=lambda: fcntl.ioctl(0 if stdin is None else 2, termios.TIOCSCTTY, 0))
        # Kept open to watch the terminal's mode; keys are only sent while it is raw.
        self.tty_fd = slave

    # -- output ---------------------------------------------------------------
    def _pump(self, timeout):
        ready, _, _ = select.select([self.master], [], [], timeout)
        if not ready:
            return False
        try:
            data = os.read(self.master, 65536)
        except OSError:  # EIO: the program has closed the terminal
            data = b""
        if not data:
            return None
        self.raw += data
        self.stream.feed(data)
        return True

    def text(self):
        return "\n".join(line.rstrip() for line in self.screen.display)

    def transcript(self):
        return plain(self.raw)

    def shows(self, needle):
        """On the screen now, or written at some time (text may have scrolled or been redrawn)."""
        return needle in self.text() or needle in self.transcript()

    def wait_for(self, needle, timeout=WAIT):
        """Waits until `needle` has appeared in the output; returns the screen row that shows it."""
        deadline = time.monotonic() + timeout
        while not self.shows(needle):
            left = deadline - time.monotonic()
            if left <= 0 or self._pump(min(left, 0.2)) is None:
                break
        if not self.shows(needle):
            raise AssertionError(f"{needle!r} never appeared; screen:\n{self.text()}")
        for row, line in enumerate(self.screen.display):
            if needle in line:
                return row
        return None

    def row_of(self, needle):
        for row, line in enumerate(self.screen.display):
            if needle in line:
                return row
        raise AssertionError(f"{needle!r} not on screen:\n{self.text()}")

    # -- input ----------------------------------------------------------------
    def is_raw(self):
        return not termios.tcgetattr(self.tty_fd)[3] & (termios.ICANON | termios.ECHO)

    def send(self, data, timeout=WAIT):
        """Types `data` once the program waits for a key in raw mode, so the terminal neither
        echoes nor translates it. Call it after the output that the previous keys cause."""
        deadline = time.monotonic() + timeout
        while not self.is_raw():
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise AssertionError(f"quillex is not reading keys; screen:\n{self.text()}")
            self._pump(0.01)
        os.write(self.master, data)

    def finish(self, key=b"x", timeout=WAIT):
        """Answers the closing key wait and returns the exit status."""
        self.wait_for(CLOSING)
        self.send(key)
        return self.wait_exit(timeout)

    def finish_answering(self, timeout=WAIT):
        """Answers every per-file key wait and then the closing one; returns the exit status."""
        deadline = time.monotonic() + timeout
        answered = 0
        while CLOSING not in self.transcript():
            if self.transcript().count(PROCEED) > answered and self.is_raw():
                answered += 1
                self.send(b"x")
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise AssertionError(f"the run did not close; screen:\n{self.text()}")
            self._pump(0.02)
        return self.finish(timeout=timeout)

    def wait_exit(self, timeout=WAIT, close=True):
        deadline = time.monotonic() + timeout
        while self.proc.poll() is None and time.monotonic() < deadline:
            self._pump(0.05)
        if self.proc.poll() is None:
            self.proc.kill()
            raise AssertionError(f"quillex did not end; screen:\n{self.text()}")
        while self._pump(0) is True:
            pass
        if close:
            self._close()
        return self.proc.returncode

    def _close(self):
        for fd in (self.master, self.tty_fd):
            try:
                os.close(fd)
            except OSError:
                pass
        self.master = self.tty_fd = -1

    def still_running_after(self, seconds):
        try:
            self.proc.wait(timeout=seconds)
            return False
        except subprocess.TimeoutExpired:
            return True

    def kill(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        self._close()

    # -- colours --------------------------------------------------------------
    def cell(self, row, col):
        return self.screen.buffer[row][col]
