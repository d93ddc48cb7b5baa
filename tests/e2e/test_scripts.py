"""Runs from scripts: the password from standard input, --help and --version, and the prompts on the
terminal while standard output goes to a file."""
import subprocess

import pytest

import qxterm
from qxterm import CLOSING, ENTER, PROCEED, SYNTAX_FIRST, WAIT, program_env

PROMPT = "Enter password: "
FREE, FILLED = "\u2591", "\u2592"  # the field's free and filled cells
PLAIN = b"some plain text\nsecond line\n"
REFUSED = b"password from standard input refused"


def leftovers(place):
    extra = [p.name for p in (place / "bin").iterdir() if p.name != "quillex"]
    extra += [p.name for p in (place / "work").iterdir() if p.name.startswith("EX")]
    return sorted(extra)


def run_piped(place, data, *args):
    """No controlling terminal; `data` on a pipe as standard input, output to a pipe."""
    done = subprocess.run([str(place / "bin" / "quillex"), *args], cwd=place / "work", env=program_env(),
                          input=data, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          start_new_session=True, timeout=WAIT)
    return done.returncode, done.stdout


def piped_terminal(place, *args):
    """The pty is the controlling terminal, stdout and stderr; standard input is a pipe."""
    return qxterm.Terminal(list(args), place / "work", str(place / "bin" / "quillex"), stdin=subprocess.PIPE)


def test_piped_password_encrypts_with_or_without_a_terminal_and_nothing_waits(place):
    a = place / "work" / "a.txt"
    a.write_bytes(PLAIN)
    t = piped_terminal(place, "-n", "a.txt")
    try:
        t.proc.stdin.write(b"pa ss\n")
        t.proc.stdin.close()
        assert t.wait_exit(close=False) == 0, t.text()  # no key is ever typed
        assert not t.is_raw()
    finally:
        t.kill()
    shown = t.transcript()
    assert PROMPT in shown and CLOSING in shown and " done." in shown
    assert FREE not in shown and FILLED not in shown, "no field may be drawn"
    assert a.read_bytes().startswith(b"QX")

    # The same password, ended by CR LF, decrypts it in a run that has no terminal at all.
    status, out = run_piped(place, b"pa ss\r\nnot read\n", "-n", "a.txt")
    assert status == 0, out
    assert b" done.\n - encrypted by Quillex v2.1" in out and b"\x1b" not in out
    assert a.read_bytes() == PLAIN
    # A last line without a line end is the password too; a wrong one is reported, file kept.
    assert run_piped(place, b"pa ss", "-n", "a.txt")[0] == 0
    status, out = run_piped(place, b"pass", "a.txt")
    assert status == 2 and b"wrong password or file is corrupt." in out
    assert a.read_bytes().startswith(b"QX")
    assert leftovers(place) == []


@pytest.mark.parametrize("line, fault", [
    (b"abc\n", b"shorter than 4"),
    (b"ab\x01cd\n", b"outside codes 32 to 126"),
    (b"abcd\x7f\r\n", b"outside codes 32 to 126"),
    (b"x" * 33 + b"\n", b"longer than 32"),
    (b"\n", b"shorter than 4"),
])
def test_a_bad_piped_password_ends_the_run_and_leaves_the_file(place, line, fault):
    a = place / "work" / "a.txt"
    a.write_bytes(PLAIN)
    status, out = run_piped(place, line, "*.txt")
    assert status == 1
    assert b"\n*** error ***\n" + REFUSED in out and fault in out
    assert out.rstrip().endswith(CLOSING.encode())
    assert a.read_bytes() == PLAIN and not (place / "work" / "a.bak").exists()
    assert leftovers(place) == []


def test_empty_input_is_a_cancel_and_no_key_wait_waits_on_the_terminal(place):
    (place / "work" / "a.txt").write_bytes(PLAIN)
    t = piped_terminal(place, "a.txt")
    try:
        t.proc.stdin.close()
        assert t.wait_exit(close=False) == 1
        assert not t.is_raw()
    finally:
        t.kill()
    assert "*** error ***" in t.transcript() and "user requested termination" in t.transcript()
    assert leftovers(place) == []


@pytest.mark.parametrize("args, expected", [
    (["--help"], SYNTAX_FIRST),
    (["-x", "a.txt", "--version"], "Quillex version 2.1\n"),
    (["--version", "--help"], "Quillex version 2.1\n"),
])
def test_help_and_version_print_to_standard_output_and_exit_0(place, args, expected):
    done = subprocess.run([str(place / "bin" / "quillex"), *args], cwd=place / "work", env=program_env(),
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=WAIT)
    assert done.returncode == 0 and done.stderr == b""
    out = done.stdout.decode()
    if expected == SYNTAX_FIRST:
        assert out.startswith(SYNTAX_FIRST + "\n") and out.endswith("(WARNING! Can lose data if password is forgotten!)\n")
        assert out.count("\n") == 6 and "\x1b" not in out
    else:
        assert out == expected


def test_help_on_a_terminal_waits_for_no_key_and_other_long_switches_stay_refused(term, place):
    t = term("--help")
    assert t.wait_exit() == 0
    assert SYNTAX_FIRST in t.text() and CLOSING not in t.transcript() and "Quillex version" not in t.text()
    t = term("--helpx")
    t.wait_for(SYNTAX_FIRST)
    assert "*** error ***" in t.text()
    assert t.finish() == 1


def test_redirected_output_keeps_the_run_and_the_terminal_shows_prompts_field_and_waits(term, place, tmp_path):
    (place / "work" / "a.txt").write_bytes(PLAIN)
    (place / "work" / "list.lst").write_text("a.txt\nmissing.txt\n")
    log = tmp_path / "run.log"
    with open(log, "wb") as out:
        t = term("-l", "list.lst", stdout=out)
        t.wait_for(PROMPT + FREE * 32)
        t.send(b"abcd")
        t.wait_for(PROMPT + FILLED * 4 + FREE * 28)
        t.send(ENTER)
        t.wait_for(PROCEED)
        assert "couldn't open file missing.txt" in t.text()
        t.send(b"x")
        assert t.finish() == 2
    screen = t.text()
    # The terminal shows what asks for the user, not the run's text.
    assert "Quillex version" not in screen and "file 1: a.txt" not in screen and "all done," not in screen
    assert screen.index(PROCEED) < screen.index(CLOSING)

    text = log.read_bytes()
    assert b"\x1b" not in text
    assert FREE.encode() not in text and FILLED.encode() not in text, "field cells belong on the terminal"
    for needle in (b"Quillex version 2.1\n", b"\nEnter password: \n\nAnalyzing files from list.lst:\n",
                   b"file 1: a.txt... encrypting ... compressing ... writing ... done.\n",
                   b"*** error ***\ncouldn't open file missing.txt\n" + PROCEED.encode() + b"\n",
                   b"\nall done,\nencrypted: 1 files\ndecrypted: 0 files\n", CLOSING.encode() + b"\n"):
        assert needle in text
    assert (place / "work" / "a.txt").read_bytes().startswith(b"QX")
    assert leftovers(place) == []
