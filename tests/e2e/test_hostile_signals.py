"""Signals the program does not ask for: ones that end it, a file-size limit, and a stop
and continue of the job in the password field."""
import os
import resource
import signal
import subprocess
import termios
import time

import pytest

import qxterm
from qxterm import ENTER, WAIT

PROMPT = "Enter password: "
BIG = os.urandom(3 << 20)  # random bytes: compressing them takes a moment and they do not shrink

ENDING = [signal.SIGUSR1, signal.SIGALRM, signal.SIGUSR2, signal.SIGVTALRM, signal.SIGXCPU,
          signal.SIGRTMIN + 3]


def leftovers(place):
    """The run's files: the list file beside the program, the work file and fresh files."""
    extra = [p.name for p in (place / "bin").iterdir() if p.name != "quillex"]
    extra += [p.name for p in (place / "work").iterdir() if p.name.startswith("EX") or ".qxtmp" in p.name]
    return sorted(extra)


def cooked(lflag):
    return lflag & (termios.ECHO | termios.ICANON)


def assert_ended_by(t, number):
    assert t.wait_exit(timeout=30, close=False) in (128 + number, -number)
    assert cooked(termios.tcgetattr(t.tty_fd)[3]) == cooked(t.initial_lflag)


def start_at_password(term, place, *args):
    t = term(*args)
    t.wait_for(PROMPT)
    return t


def wait_until(condition, t, what):
    deadline = time.monotonic() + WAIT
    while not condition():
        assert time.monotonic() < deadline, f"{what} never came; screen:\n{t.text()}"
        t._pump(0.01)


@pytest.mark.parametrize("number", ENDING, ids=lambda n: signal.Signals(n).name if n < signal.SIGRTMIN else "SIGRTMIN+3")
def test_a_signal_in_the_password_field_restores_the_terminal_and_removes_the_run_files(term, place, number):
    (place / "work" / "a.txt").write_text("x")
    t = start_at_password(term, place, "*.txt")
    t.send(b"ab")
    t.wait_for("▒▒")
    assert len(leftovers(place)) == 1  # the list file; the work file comes with the first compression
    os.kill(t.proc.pid, number)
    assert_ended_by(t, number)
    assert leftovers(place) == []


@pytest.mark.parametrize("number", [signal.SIGUSR1, signal.SIGALRM, signal.SIGRTMIN + 3],
                         ids=["SIGUSR1", "SIGALRM", "SIGRTMIN+3"])
def test_a_signal_during_work_leaves_the_file_whole_and_no_run_files(term, place, number):
    big = place / "work" / "big.txt"
    big.write_bytes(BIG)
    t = start_at_password(term, place, "-n", "big.txt")
    t.send(b"abcd" + ENTER)
    t.wait_for(" compressing .", timeout=30)
    os.kill(t.proc.pid, number)
    assert_ended_by(t, number)
    assert leftovers(place) == []
    after = big.read_bytes()
    if after != BIG:  # the signal came after the rename: the encrypted file is complete
        t = start_at_password(term, place, "-n", "big.txt")
        t.send(b"abcd" + ENTER)
        assert t.finish(timeout=30) == 0 and big.read_bytes() == BIG


def test_a_file_size_limit_fails_the_write_instead_of_killing(term, place, monkeypatch):
    big = place / "work" / "big.txt"
    big.write_bytes(BIG)
    limit = len(BIG) + 256  # the work and list files fit, the encrypted contents (2 KiB longer) do not
    real_popen = subprocess.Popen

    def limited_popen(*args, preexec_fn=None, **kwargs):
        def limited():
            preexec_fn()
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        return real_popen(*args, preexec_fn=limited, **kwargs)

    monkeypatch.setattr(qxterm.subprocess, "Popen", limited_popen)
    t = start_at_password(term, place, "-n", "big.txt")
    monkeypatch.undo()
    t.send(b"abcd" + ENTER)
    deadline = time.monotonic() + 30
    while "session closed" not in t.transcript():
        assert t.proc.poll() is None, f"ended by signal {-t.proc.returncode}; screen:\n{t.text()}"
        assert time.monotonic() < deadline, f"no failure reported; screen:\n{t.text()}"
        if "press any key to proceed..." in t.transcript() and t.is_raw():
            t.send(b"x")  # a per-file error waits for a key
        t._pump(0.05)
    status = t.finish(timeout=30)
    assert (status == 1 and "Can't write." in t.transcript()) or status == 2
    assert big.read_bytes() == BIG
    assert leftovers(place) == []


def stopped(pid):
    with open(f"/proc/{pid}/stat") as stat:
        return stat.read().rsplit(")", 1)[1].split()[0] in ("T", "t")


@pytest.mark.parametrize("number", [signal.SIGSTOP, signal.SIGTSTP], ids=["SIGSTOP", "SIGTSTP"])
def test_stop_and_continue_in_the_password_field_keeps_it_masked(term, place, number):
    a = place / "work" / "a.txt"
    a.write_bytes(b"notes to keep\n" * 50)
    t = start_at_password(term, place, "a.txt")
    t.send(b"se")
    t.wait_for("▒▒")
    os.kill(t.proc.pid, number)
    if number == signal.SIGSTOP:
        wait_until(lambda: stopped(t.proc.pid), t, "the stop")
    else:
        # A job without a parent in its session is not stopped by SIGTSTP; the handler
        # still gives the terminal back and takes it again, and the field is drawn again.
        wait_until(lambda: t.transcript().count(PROMPT) >= 2, t, "the redraw")
    # The shell puts back its own mode while the job is stopped.
    mode = termios.tcgetattr(t.tty_fd)
    mode[3] = t.initial_lflag
    termios.tcsetattr(t.tty_fd, termios.TCSANOW, mode)
    os.kill(t.proc.pid, signal.SIGCONT)
    shown = t.transcript().count(PROMPT) + 1
    wait_until(lambda: t.transcript().count(PROMPT) >= shown, t, "the redraw")
    # The field is drawn on a row of its own, with the two characters typed so far.
    field = PROMPT + "▒" * 2 + "░" * 30
    wait_until(lambda: t.screen.display[t.screen.cursor.y].rstrip() == field
               and t.screen.cursor.x == len(PROMPT) + 2, t, "the whole field")
    assert t.is_raw()
    t.send(b"x")
    t.wait_for(PROMPT + "▒" * 3)
    t.send(b"\x7f")  # Backspace erases the x
    wait_until(lambda: t.screen.display[t.screen.cursor.y].startswith(PROMPT + "▒" * 2 + "░"), t, "the erase")
    t.send(b"cretpw" + ENTER)
    assert t.finish(timeout=30) == 0
    for typed in (b"cretpw", b"secretpw"):
        assert typed not in t.raw
    assert "secretpw" not in t.text() and "cretpw" not in t.text()
    assert a.read_bytes()[:2] == b"QX"
    t = start_at_password(term, place, "-n", "a.txt")
    t.send(b"secretpw" + ENTER)
    assert t.finish() == 0 and a.read_bytes() == b"notes to keep\n" * 50
