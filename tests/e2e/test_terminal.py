"""The program without a screen or without any terminal, interrupts, and the terminal left behind."""
import os
import signal
import subprocess
import termios
import time

import pytest

import qxterm
from qxterm import CLOSING, ENTER, WAIT, program_env

PROMPT = "Enter password: "


def leftovers(place):
    extra = [p.name for p in (place / "bin").iterdir() if p.name != "quillex"]
    extra += [p.name for p in (place / "work").iterdir() if p.name.startswith("EX")]
    return sorted(extra)


def run_without_terminal(place, *args):
    """No controlling terminal, stdin from /dev/null, output to a pipe; a hang fails the test."""
    done = subprocess.run([str(place / "bin" / "quillex"), *args], cwd=place / "work", env=program_env(),
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          start_new_session=True, timeout=WAIT)
    return done.returncode, done.stdout


def assert_errors_start_rows(out):
    assert b"\x1b" not in out, "no escape sequence may reach a file or a pipe"
    at = out.find(b"*** error ***")
    while at != -1:
        assert at == 0 or out[at - 1:at] == b"\n", "an error header must start a fresh row"
        at = out.find(b"*** error ***", at + 1)


def wait_in_file(path, needle, t):
    """Waits until the redirected output holds `needle` (the terminal shows nothing of it)."""
    deadline = time.monotonic() + WAIT
    while needle not in path.read_bytes():
        assert time.monotonic() < deadline and t.proc.poll() is None, f"{needle!r} never written"
        t.still_running_after(0.02)


def run_redirected(term, place, tmp_path, args, keys):
    """Runs with standard output in a file; types `keys` at the prompt, then answers the closing line."""
    (place / "work" / "a.txt").write_text("x")
    out_path = tmp_path / "out.txt"
    with open(out_path, "wb") as out:
        t = term(*args, stdout=out)
        wait_in_file(out_path, PROMPT.encode(), t)
        t.send(keys)  # keys still come from the terminal
        wait_in_file(out_path, CLOSING.encode(), t)
        t.send(b"x")
        status = t.wait_exit()
    text = out_path.read_bytes()
    assert_errors_start_rows(text)
    assert leftovers(place) == []
    return status, text


def test_output_to_a_file_is_plain_text(term, place, tmp_path):
    status, text = run_redirected(term, place, tmp_path, ["*.txt"], b"abcd" + ENTER)
    assert status == 0
    for needle in (b"Quillex version 2.1\n", b"\n\nAnalyzing 1 file(s):\nfile 1: a.txt... encrypting ... compressing ... writing ... done.\n",
                   b"\nall done,\nencrypted: 1 files\ndecrypted: 0 files\n", CLOSING.encode() + b"\n"):
        assert needle in text


def test_output_to_a_file_puts_the_error_after_the_field_on_a_fresh_row(term, place, tmp_path):
    status, text = run_redirected(term, place, tmp_path, ["a.txt"], b"ab\x1b")
    assert status == 1
    assert b"\n*** error ***\nuser requested termination\n" in text


@pytest.mark.parametrize("args, message", [
    ((), b"syntax: Quillex.exe"),
    (("*.txt",), b"user requested termination"),
    (("-l", "empty.lst"), b"user requested termination"),
    (("*.none",), b"No matching files"),
])
def test_no_terminal_at_all_never_hangs_and_ends_with_status_1(place, args, message):
    (place / "work" / "a.txt").write_text("x")
    (place / "work" / "empty.lst").write_text("")
    status, out = run_without_terminal(place, *args)
    assert status == 1
    assert message in out
    assert out.rstrip().endswith(CLOSING.encode())
    assert_errors_start_rows(out)
    assert leftovers(place) == []


def test_sigterm_at_the_password_removes_temporary_files_and_restores_the_terminal(term, place):
    (place / "work" / "a.txt").write_text("x")
    t = term("*.txt")
    cooked = t.initial_lflag & (termios.ECHO | termios.ICANON)
    t.wait_for(PROMPT)
    t.send(b"ab")  # waits until the field reads keys in raw mode
    t.wait_for("▒▒")
    assert len(leftovers(place)) == 1  # the list file; the work file comes with the first compression
    os.kill(t.proc.pid, signal.SIGTERM)
    assert t.wait_exit(close=False) in (128 + signal.SIGTERM, -signal.SIGTERM)
    assert termios.tcgetattr(t.tty_fd)[3] & (termios.ECHO | termios.ICANON) == cooked
    assert leftovers(place) == []


def test_a_folder_where_no_work_file_can_be_made_fails_compressed_files_only(place):
    """Only a compressed file needs the work file: it fails unchanged with its backup
    kept; a stored file is processed as usual. (Nothing can be made in /proc, even by root.)"""
    work = place / "work"
    (work / "a.txt").write_text("notes\n" * 100)
    (work / "b.zip").write_bytes(b"PK\x03\x04 archive")
    t = qxterm.Terminal([str(work / "a.txt"), str(work / "b.zip")], "/proc", str(place / "bin" / "quillex"))
    try:
        t.wait_for(PROMPT)
        t.send(b"abcd\r")
        t.wait_for("could be caused by variety of reasons")
        assert t.finish_answering() == 2
    finally:
        t.kill()
    assert (work / "a.txt").read_text() == "notes\n" * 100
    assert (work / "a.bak").read_text() == "notes\n" * 100
    assert (work / "b.zip").read_bytes()[:2] == b"QX"
    assert "encrypted: 1 files" in t.transcript()
    assert leftovers(place) == []


def test_alt_with_a_letter_in_the_password_field_types_the_letter(term, place):
    (place / "work" / "a.txt").write_text("notes\n" * 10)
    t = term("a.txt")
    t.wait_for(PROMPT)
    t.send(b"ab\x1bcd" + ENTER)  # Alt+c: the terminal sends Esc and c in one burst
    assert t.finish() == 0
    t = term("-n", "a.txt")
    t.wait_for(PROMPT)
    t.send(b"abcd" + ENTER)
    assert t.finish() == 0
    assert (place / "work" / "a.txt").read_text() == "notes\n" * 10


def test_a_small_window_keeps_the_typed_cells_in_the_field_when_it_scrolls(place):
    """In 5 rows of 40 columns the prompt comes on the last row: the field wraps there
    and scrolls the screen, and its typed cells still are its first cells."""
    (place / "work" / "a.txt").write_text("notes\n" * 10)
    t = qxterm.Terminal(["a.txt"], place / "work", str(place / "bin" / "quillex"), size=(5, 40))

    def field_shows(typed):
        """The prompt's row and the next hold the field with `typed` cells filled, the cursor after them."""
        deadline = time.monotonic() + WAIT
        while True:
            rows = [line.rstrip() for line in t.screen.display]
            cells = "▒" * typed + "░" * (32 - typed)
            at = [r for r, line in enumerate(rows[:-1]) if line == PROMPT + cells[:24] and rows[r + 1] == cells[24:]]
            cursor = (t.screen.cursor.y, t.screen.cursor.x)
            if at and cursor == ((at[0], len(PROMPT) + typed) if typed < 24 else (at[0] + 1, typed - 24)):
                return
            assert time.monotonic() < deadline, f"no field with {typed} typed cells at the cursor {cursor}:\n{t.text()}"
            t._pump(0.05)

    try:
        t.wait_for(PROMPT)
        field_shows(0)
        t.send(b"abcdefghijklmnopqrstuvwxyz")  # over the row's end onto the next row
        t.send(b"\x7f")
        field_shows(25)
        t.send(b"\x7f\x7f")  # back over the row's end
        field_shows(23)
        t.send(ENTER)
        assert t.finish() == 0
    finally:
        t.kill()
    assert (place / "work" / "a.txt").read_bytes()[:2] == b"QX"
    assert (place / "work" / "a.bak").read_text() == "notes\n" * 10


QUIET = termios.ECHO | termios.ICANON | termios.ISIG


def start_big_file_work(term, place, *args):
    """Types the password and returns once a 30 MB file is being compressed (a couple of seconds)."""
    (place / "work" / "big.txt").write_bytes(os.urandom(30 << 20))  # random: slow to compress
    t = term(*args)
    t.wait_for(PROMPT)
    t.send(b"abcd" + ENTER)
    t.wait_for(" compressing .", timeout=30)
    return t


def test_keys_typed_during_work_are_not_shown_and_wait_for_the_next_key_waits(term, place):
    (place / "work" / "files.lst").write_text("big.txt\nmissing.txt\n")
    t = start_big_file_work(term, place, "-n", "-l", "files.lst")
    # Working: no echo and no line, but Ctrl+C still a signal.
    assert termios.tcgetattr(t.tty_fd)[3] & QUIET == termios.ISIG
    os.write(t.master, b"#&")  # typed now, not at a key wait
    # The missing entry's key wait takes # and the closing one &: the run ends with no other key.
    assert t.wait_exit(timeout=60, close=False) == 2
    assert "couldn't open file missing.txt" in t.transcript()
    assert t.screen.display[t.row_of("file 1: ")].rstrip() == "file 1: big.txt... encrypting ... compressing ... writing ... done."
    assert b"#" not in t.raw and b"&" not in t.raw  # never echoed, into the line or anywhere
    assert termios.tcgetattr(t.tty_fd)[3] == t.initial_lflag


def test_ctrl_c_during_work_after_a_stop_and_continue_still_interrupts(term, place):
    t = start_big_file_work(term, place, "-n", "big.txt")
    os.kill(t.proc.pid, signal.SIGSTOP)
    # The shell puts back its own mode while the job is stopped; the continue takes the quiet one again.
    mode = termios.tcgetattr(t.tty_fd)
    mode[3] = t.initial_lflag
    termios.tcsetattr(t.tty_fd, termios.TCSANOW, mode)
    os.kill(t.proc.pid, signal.SIGCONT)
    deadline = time.monotonic() + WAIT
    while termios.tcgetattr(t.tty_fd)[3] & QUIET != termios.ISIG:
        assert time.monotonic() < deadline, "the quiet mode was not taken again"
        t._pump(0.01)
    os.write(t.master, b"\x03")
    assert t.wait_exit(timeout=30, close=False) in (128 + signal.SIGINT, -signal.SIGINT)
    assert termios.tcgetattr(t.tty_fd)[3] == t.initial_lflag
    assert leftovers(place) == []
