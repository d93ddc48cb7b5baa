"""Encrypting and decrypting real files through quillex in a terminal: progress lines,
messages, counts, backups and what is left on disk after each outcome."""
import os
import signal
import stat
import termios
import time

import pytest

from qxterm import ENTER

PROMPT = "Enter password: "
PROCEED = "press any key to proceed..."
TEXT = b"".join(b"line %d of some notes to keep\n" % i for i in range(400))
ENC_H = "... encrypting ... compressing ... writing ... done."
ENC_0 = "... encrypting ... writing ... done."
DEC_3 = "... reading ... decompressing ... decrypting ... done."
DEC_2 = "... reading ... decrypting ... done."


def run(term, *args, password=b"abcd", errors=0):
    """One run: types the password, answers `errors` error key waits and the closing one."""
    t = term(*args)
    t.wait_for(PROMPT)
    t.send(password + ENTER)
    for i in range(errors):
        deadline = time.monotonic() + 20
        while t.transcript().count(PROCEED) <= i:
            if "session closed" in t.transcript() or time.monotonic() > deadline:
                require_wired(t)
                raise AssertionError(f"error {i + 1} never came; screen:\n{t.text()}")
            t._pump(0.1)
        t.send(b"x")
    return t, t.finish(timeout=30)


def require_wired(t):
    if "... encrypting" not in t.transcript() and "... reading" not in t.transcript():
        pytest.skip("the per-file dispatch does not call the pipelines yet")


def files(place):
    return sorted(p.name for p in (place / "work").iterdir())


def encrypted(path):
    return path.read_bytes()[:2] == b"QX"


def test_mixed_folder_encrypted_and_decrypted_in_one_run(term, place):
    w = place / "work"
    (w / "b.txt").write_bytes(TEXT[:3000])
    t, status = run(term, "b.txt")
    require_wired(t)
    assert status == 0 and encrypted(w / "b.txt")
    assert f"file 1: b.txt{ENC_H}" in t.text()
    (w / "b.bak").unlink()
    (w / "a.txt").write_bytes(TEXT)
    t, status = run(term, "*.txt")
    assert status == 0
    assert "encrypted: 1 files" in t.text() and "decrypted: 1 files" in t.text()
    assert f"a.txt{ENC_H}" in t.text()
    assert f"b.txt{DEC_3}" in t.text()
    assert " - encrypted by Quillex v2.1" in t.text()
    assert encrypted(w / "a.txt") and (w / "b.txt").read_bytes() == TEXT[:3000]
    # Each backup is the file as it was before this run.
    assert (w / "a.bak").read_bytes() == TEXT and encrypted(w / "b.bak")
    assert [n for n in files(place) if n.startswith(".") or n.startswith("EX")] == []


def test_switches_refuse_the_wrong_kind(term, place):
    w = place / "work"
    (w / "a.txt").write_bytes(TEXT)
    t, status = run(term, "a.txt")
    require_wired(t)
    (w / "c.txt").write_bytes(b"plain")
    before = (w / "a.txt").read_bytes()
    t, status = run(term, "-e", "a.txt", errors=1)
    assert "a.txt already is encoded" in t.text() and status == 2
    t, status = run(term, "c.txt", "-d", errors=1)
    assert "c.txt is not encoded" in t.text() and status == 2
    assert "encrypted: 0 files" in t.text() and "decrypted: 0 files" in t.text()
    assert (w / "a.txt").read_bytes() == before and (w / "c.txt").read_bytes() == b"plain"


def test_wrong_password_writes_nothing_and_names_the_backup(term, place):
    w = place / "work"
    (w / "report.txt").write_bytes(TEXT)
    t, _ = run(term, "-n", "report.txt")
    require_wired(t)
    before = (w / "report.txt").read_bytes()
    t, status = run(term, "report.txt", password=b"wrong", errors=1)
    assert status == 2
    assert "file 1: report.txt... reading" in t.text()
    assert "... reading ." not in t.transcript()
    assert "wrong password or file is corrupt." in t.text()
    assert "look for report.bak file," in t.text()
    assert (w / "report.txt").read_bytes() == before
    assert files(place) == ["report.txt"]


def test_no_backup_switch_and_bak_files(term, place):
    w = place / "work"
    (w / "a.txt").write_bytes(TEXT)
    (w / "notes.bak").write_bytes(b"notes\n")
    t, status = run(term, "-n", "*")
    require_wired(t)
    assert status == 0 and "encrypted: 2 files" in t.text()
    t, status = run(term, "-n", "*")
    assert status == 0 and "decrypted: 2 files" in t.text()
    assert files(place) == ["a.txt", "notes.bak"]
    # Without -n a .bak file still gets no backup of its own.
    t, status = run(term, "notes.bak")
    assert status == 0 and encrypted(w / "notes.bak")
    assert files(place) == ["a.txt", "notes.bak"]


def test_compressed_extensions_are_stored_and_empty_files_round_trip(term, place):
    w = place / "work"
    (w / "photo.zip").write_bytes(b"PK\x03\x04" + bytes(range(256)))
    (w / "empty").write_bytes(b"")
    t, status = run(term, "-n", "photo.zip", "empty")
    require_wired(t)
    assert status == 0
    assert f"photo.zip{ENC_0}" in t.text() and f"empty{ENC_H}" in t.text()
    assert os.path.getsize(w / "photo.zip") == 260 + 13 + 16
    t, status = run(term, "-n", "photo.zip", "empty")
    assert f"photo.zip{DEC_2}" in t.text() and f"empty{DEC_3}" in t.text()
    assert (w / "empty").read_bytes() == b""
    assert (w / "photo.zip").read_bytes() == b"PK\x03\x04" + bytes(range(256))


def test_read_only_and_vanished_files_fail_unchanged(term, place):
    w = place / "work"
    (w / "ro.txt").write_bytes(TEXT)
    os.chmod(w / "ro.txt", stat.S_IRUSR | stat.S_IRGRP)
    (w / "ok.txt").write_bytes(b"fine\n")
    (w / "list").write_text("ro.txt\ngone.txt\nok.txt\n")
    t, status = run(term, "-l", "list", errors=2)
    require_wired(t)
    assert status == 2
    assert "could be caused by variety of reasons :)" in t.text()
    assert "couldn't open file gone.txt" in t.text()
    assert "encrypted: 1 files" in t.text()
    assert (w / "ro.txt").read_bytes() == TEXT
    assert stat.S_IMODE(os.stat(w / "ro.txt").st_mode) == stat.S_IRUSR | stat.S_IRGRP
    assert "ro.bak" not in files(place) and encrypted(w / "ok.txt")


@pytest.mark.parametrize("signal_number", [signal.SIGINT, signal.SIGTERM])
def test_interrupt_while_encrypting_leaves_the_file_whole(term, place, signal_number):
    w = place / "work"
    big = b"".join(b"record %d: %s\n" % (i, b"x" * (i % 50)) for i in range(120000))
    (w / "big.txt").write_bytes(big)
    t = term("big.txt")
    t.wait_for(PROMPT)
    t.send(b"abcd" + ENTER)
    t.wait_for("file 1: big.txt")
    t.wait_for("... encrypting")
    time.sleep(0.3)
    t.proc.send_signal(signal_number)
    assert t.wait_exit(timeout=30, close=False) == -signal_number or t.proc.returncode == 128 + signal_number
    assert termios.tcgetattr(t.tty_fd)[3] == t.initial_lflag  # the terminal is restored
    t.kill()
    # No fresh file and no work file are left; the file is the original or complete.
    assert [n for n in files(place) if n.startswith(".") or n.startswith("EX")] == []
    if (w / "big.txt").read_bytes() != big:
        assert encrypted(w / "big.txt")
        (w / "big.bak").unlink()
        t, status = run(term, "-n", "big.txt")
        assert status == 0 and (w / "big.txt").read_bytes() == big
