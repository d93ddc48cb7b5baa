"""quillex.exe under Wine in a terminal: what the Windows build shows and does, and files shared with Linux."""
import os
import re
import shutil
import time

import pytest

from winterm import CLOSING, PROMPT, SYNTAX_FIRST

FREE, FILLED = "\u2591", "\u2592"  # the field's code-page bytes 176 and 177 as the console shows them


def make(place, name, data=b"some plain text\r\nsecond line\r\n"):
    path = place / "work" / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return path


def password(pane, text="abcd"):
    # Wine echoes keys typed before the field has put the console into raw mode.
    pane.wait_for(PROMPT + FREE * 32)
    pane.type(text)
    pane.keys("Enter")


def colour_of(pane, text):
    """The foreground and background codes (SGR) in force where `text` starts on the screen."""
    fg = bg = None
    for line in pane.screen(colours=True).split("\n"):
        shown = ""
        for piece in re.split(r"(\x1b\[[0-9;]*m)", line):
            if piece.startswith("\x1b["):
                for code in (piece[2:-1] or "0").split(";"):
                    n = int(code or 0)
                    if n == 0:
                        fg = bg = None
                    elif 30 <= n <= 37 or 90 <= n <= 97:
                        fg = code
                    elif n == 39:
                        fg = None
                    elif 40 <= n <= 47 or 100 <= n <= 107:
                        bg = code
                    elif n == 49:
                        bg = None
            else:
                shown += piece
                if text in shown:
                    return {c for c in (fg, bg) if c}
    raise AssertionError(f"{text!r} not on screen")


def test_banner_colours_syntax_text_and_closing_wait(run):
    pane = run()
    row = pane.wait_for(SYNTAX_FIRST)
    assert pane.lines()[0] == "Quillex version 2.1"
    assert pane.lines()[row - 1] == "*** error ***"
    assert {"93", "44"} <= colour_of(pane, "Quillex version 2.1")
    assert {"93", "44"} <= colour_of(pane, "by Verdanix")
    assert "91" in colour_of(pane, "*** error ***") and "91" in colour_of(pane, "(WARNING!")
    assert "44" not in colour_of(pane, CLOSING)
    assert pane.finish() == 1


def test_switches_conflicts_and_slash_form(run, place):
    pane = run("-E", "/d", "x.txt")
    pane.wait_for("Parameter -d can't be used with -e!")
    assert pane.finish() == 1
    pane = run("-ee", "x.txt")
    pane.wait_for(SYNTAX_FIRST)
    assert pane.finish() == 1
    # "/x" of any length is a switch on Windows, so a slash path cannot name a file.
    pane = run("/tmp/x.txt")
    pane.wait_for(SYNTAX_FIRST)
    assert pane.finish() == 1
    pane = run("-n", "missing*.txt")
    pane.wait_for("No matching files")
    assert pane.finish() == 1
    assert not list((place / "bin").glob("QXLList*")), "the temporary list must be gone"


def test_password_field_blocks_backspace_refusals_and_esc(run, place):
    make(place, "a.txt")
    pane = run("a.txt")
    row = pane.wait_for(PROMPT + FREE * 32)
    pane.type("abc")
    pane.wait_for(PROMPT + FILLED * 3 + FREE * 29)
    pane.keys("BSpace")
    pane.wait_for(PROMPT + FILLED * 2 + FREE * 30)
    pane.keys("Up", "F1")  # no character code: both codes of each are read and dropped
    pane.type("z")
    pane.wait_for(PROMPT + FILLED * 3 + FREE * 29)
    pane.keys("Escape")
    pane.wait_for("user requested termination", after=row)
    assert pane.finish() == 1
    assert (place / "work" / "a.txt").read_bytes() == b"some plain text\r\nsecond line\r\n"
    assert not list((place / "bin").glob("QXLList*"))


def test_wildcards_encrypt_then_decrypt_with_backups_and_summary(run, place):
    plain = {name: f"contents of {name}\r\n".encode() * 50 for name in ("a.txt", "b.txt", "sub/c.txt")}
    for name, data in plain.items():
        make(place, name, data)
    make(place, "skip.dat")
    pane = run("*.TXT", "SUB\\*.txt")  # arguments are lower-cased; names ignore case
    password(pane, "secret1")
    pane.wait_for("Analyzing 3 file(s):")
    pane.wait_for("file 3: sub\\c.txt... encrypting")
    pane.wait_for("encrypted: 3 files")
    screen = pane.screen()
    assert re.search(r"file [12]: a\.txt\.\.\. encrypting .* done\.", screen)
    assert "decrypted: 0 files" in screen
    assert pane.finish() == 0
    for name, data in plain.items():
        now = (place / "work" / name).read_bytes()
        assert now[:2] == b"QX" and data not in now
        assert (place / "work" / name.replace(".txt", ".bak")).read_bytes() == data
    assert not [p.name for p in (place / "work").iterdir() if p.name.startswith("EX")], "work file left"

    pane = run("-d", "-n", "*.txt", "sub/*.txt")
    password(pane, "secret1")
    pane.wait_for("Decoding 3 file(s):")
    pane.wait_for("decrypted: 3 files")
    assert "97" in colour_of(pane, " - encrypted by Quillex v2.1")
    assert pane.finish() == 0
    for name, data in plain.items():
        assert (place / "work" / name).read_bytes() == data


def test_per_file_errors_wait_for_a_key_and_end_with_status_2(run, place):
    make(place, "plain.txt")
    pane = run("-d", "plain.txt", "gone.txt")
    password(pane)
    row = pane.wait_for("plain.txt is not encoded")
    pane.wait_for("press any key to proceed...", after=row)
    assert "91" in colour_of(pane, "plain.txt is not encoded")
    # A key without a character code ends the wait with its first code; its second
    # code stays pending and answers the closing line's wait at once.
    pane.keys("Right")
    pane.wait_for("decrypted: 0 files")
    pane.wait_for(CLOSING)
    assert pane.wait_exit() == 2


def test_wrong_password_leaves_file_and_reports(run, place):
    make(place, "a.txt")
    pane = run("-e", "a.txt")
    password(pane, "right")
    pane.wait_for("encrypted: 1 files")
    assert pane.finish() == 0
    sealed = (place / "work" / "a.txt").read_bytes()
    pane = run("a.txt")
    password(pane, "wrong")
    pane.wait_for("wrong password or file is corrupt.")
    pane.wait_for("look for a.bak file,")
    pane.keys("Enter")
    assert pane.finish() == 2
    assert (place / "work" / "a.txt").read_bytes() == sealed


def test_list_file_with_crlf_lines_and_dot_backslash(run, place):
    make(place, "one.txt")
    make(place, "two.doc")
    make(place, "list.lst", b".\\one.txt\r\n\r\ntwo.doc\r\nnot-there.txt")
    pane = run("-l", "-e", "LIST.LST")
    password(pane)
    pane.wait_for("Encoding files from list.lst:")
    pane.wait_for("file 1: one.txt... encrypting")
    pane.wait_for("file 2: two.doc")
    pane.wait_for("couldn't open file not-there.txt")
    pane.keys("Enter")
    pane.wait_for("encrypted: 2 files")
    assert pane.finish() == 2
    assert (place / "work" / "list.lst").exists()


def test_redirected_output_has_no_colours_and_crlf_lines(run, place):
    out = place / "out.txt"
    pane = run(stdout=out)
    deadline = time.monotonic() + 30
    while CLOSING.encode() not in (out.read_bytes() if out.exists() else b""):
        assert time.monotonic() < deadline, "no closing line in the redirected output"
        time.sleep(0.05)
    assert pane.status() is None, "the closing line must wait for a key"
    pane.keys("x")
    assert pane.wait_exit() == 1
    data = out.read_bytes()
    assert data.startswith(b"Quillex version 2.1\r\n32-bit data encryption software\r\n")
    assert b"*** error ***\r\n" + SYNTAX_FIRST.encode() in data
    assert b"\x1b" not in data and b"\n" not in data.replace(b"\r\n", b"")


def test_files_cross_between_windows_and_linux_builds(run, place):
    big = bytes(range(256)) * 300 + b"tail"
    make(place, "win.txt", big)
    # Over a MiB: the Windows build decodes it with the inverse chain on a thread of its own.
    large = big[::-1] * 40
    make(place, "lin.txt", large)
    make(place, "stored.zip", big)  # an extension of compressed data: stored, not compressed
    # Over a MiB too: the Windows build searches for matches on a thread of its own.
    make(place, "win_large.txt", large)

    pane = run("-n", "win.txt", "stored.zip", "win_large.txt")
    password(pane, "shared pw")
    pane.wait_for("encrypted: 3 files")
    assert pane.finish() == 0
    pane = run("-n", "lin.txt", native=True)
    password(pane, "shared pw")
    pane.wait_for("encrypted: 1 files")
    assert pane.finish() == 0

    pane = run("-d", "-n", "win.txt", "stored.zip", "win_large.txt", native=True)
    password(pane, "shared pw")
    pane.wait_for("decrypted: 3 files")
    assert pane.finish() == 0
    pane = run("-d", "-n", "lin.txt")
    password(pane, "shared pw")
    pane.wait_for("decrypted: 1 files")
    assert pane.finish() == 0
    assert (place / "work" / "win.txt").read_bytes() == big
    assert (place / "work" / "stored.zip").read_bytes() == big
    assert (place / "work" / "lin.txt").read_bytes() == large
    assert (place / "work" / "win_large.txt").read_bytes() == large


def test_a_folder_with_several_workers_round_trips_in_list_order(run, place):
    # Four workers in the Windows build; the Linux build, one at a time, decrypts.
    files = {f"f{k}.txt": (bytes(range(256)) * (k * 700 + 1))[: 1 + k * 90000] for k in range(8)}
    files["tiny.txt"] = b"tiny"
    files["pack.zip"] = bytes(range(256)) * 900
    for name, data in files.items():
        make(place, name, data)
    pane = run("-n", "*.txt", "*.zip", env={"QX_JOBS": "4"})
    password(pane, "workers pw")
    pane.wait_for("encrypted: 10 files")
    screen = pane.screen()
    shown = [int(n) for n in re.findall(r"file (\d+): \S+\.\.\. encrypting .* done\.", screen)]
    assert shown and shown == list(range(shown[0], shown[0] - len(shown), -1))  # in list order, none missing
    assert pane.finish() == 0
    assert not [p.name for p in (place / "work").iterdir() if p.name.startswith("EX")], "work file left"
    pane = run("-d", "-n", "*.txt", "*.zip", native=True, env={"QX_JOBS": "1"})
    password(pane, "workers pw")
    pane.wait_for("decrypted: 10 files")
    assert pane.finish() == 0
    for name, data in files.items():
        assert (place / "work" / name).read_bytes() == data, name


def test_drive_letter_path_lists_matches_under_its_directory_text(run, place):
    make(place, "deep/x.dat")
    make(place, "deep/y.txt")
    drive_path = "Z:" + str(place / "work" / "deep").replace("/", "\\") + "\\*.DAT"
    pane = run("-e", drive_path)
    password(pane)
    pane.wait_for("Encoding 1 file(s):")
    shown = "file 1: z:" + str(place / "work" / "deep").replace("/", "\\").lower() + "\\x.dat"
    assert shown in "".join(pane.lines()), pane.screen()
    pane.wait_for("encrypted: 1 files")
    assert pane.finish() == 0
    assert (place / "work" / "deep" / "x.dat").read_bytes()[:2] == b"QX"


def test_search_of_the_programs_folder_never_lists_the_temporary_list(run, place):
    """"*.tmp" matches the run's own QXLList_*.Tmp where names ignore case."""
    make(place, "notes.tmp")
    shutil.copy(place / "bin" / "quillex.exe", place / "work" / "quillex.exe")
    pane = run("-e", "*.tmp", exe=str(place / "work" / "quillex.exe"))
    password(pane)
    pane.wait_for(CLOSING)
    screen = pane.screen()
    assert "Encoding 1 file(s):" in screen and "file 1: notes.tmp" in screen and "encrypted: 1 files" in screen
    assert pane.finish() == 0
    assert not list((place / "work").glob("QXLList*"))


def test_error_at_the_bottom_scrolls_and_colours_its_own_rows(run, place):
    """The screen buffer is the terminal's size: an error near the last row scrolls the
    screen, and exactly the header and message rows take the colour."""
    names = [f"f{i:02}.txt" for i in range(40)]
    for name in names:
        make(place, name)
    make(place, "list.lst", "\r\n".join(names + ["missing.txt"]).encode())
    pane = run("-l", "-e", "-n", "list.lst")
    password(pane)
    pane.wait_for("press any key to proceed...")
    lines = pane.lines()
    row = lines.index("couldn't open file missing.txt")
    assert lines[row - 1] == "*** error ***" and lines[row + 1] == "press any key to proceed..."
    assert "91" in colour_of(pane, "*** error ***") and "91" in colour_of(pane, "couldn't open file missing.txt")
    assert "91" not in colour_of(pane, "press any key to proceed...")
    assert "91" not in colour_of(pane, "file 41: missing.txt")
    pane.keys("Enter")
    pane.wait_for("encrypted: 40 files")
    assert pane.finish() == 2


def test_ctrl_c_while_files_are_encrypted_leaves_no_temporary_file(run, place):
    """Outside a key wait Ctrl+C is a console control event: the run's temporary files
    go, every file holds its old or its new contents, and no closing line waits."""
    data = b"".join(b"line %d of a long text file\r\n" % i for i in range(150000))
    names = [f"big{i}.txt" for i in range(6)]
    for name in names:
        make(place, name, data)
    pane = run("-e", *names)
    password(pane)
    pane.wait_for("file 6: big5.txt... encrypting")
    pane.keys("C-c")
    status = pane.wait_exit()
    assert status == 0xC000013A & 0xFF, pane.screen()  # the status as the Unix side sees it
    assert CLOSING not in pane.screen()
    left = sorted(p.name for p in (place / "work").iterdir())
    assert not [n for n in left if n.startswith("EX") or "qxtmp" in n], left
    assert not list((place / "bin").glob("QXLList*"))
    for name in names:
        now = (place / "work" / name).read_bytes()
        assert now == data or now[:2] == b"QX", name


def test_file_appended_to_while_compressed_keeps_the_other_programs_data(run, place):
    """Another program appends while the file is compressed: the replace is refused
    at its last step, and the file keeps the old contents with the appended bytes."""
    data = os.urandom(12 << 20)  # random, so that compressing it takes seconds under Wine
    path = make(place, "busy.txt", data)
    pane = run("-e", "busy.txt")
    password(pane)
    pane.wait_for(" compressing .")
    with open(path, "ab") as f:
        f.write(b"appended meanwhile")
    row = pane.wait_for("changed by another program")
    assert "busy.txt" in pane.lines()[row], pane.screen()
    pane.keys("Enter")
    assert pane.finish() == 2
    assert path.read_bytes() == data + b"appended meanwhile"
    left = sorted(p.name for p in (place / "work").iterdir())
    assert left == ["busy.txt"], left  # no backup, fresh file or work file stays


def test_version_and_a_password_piped_in_need_no_key(wine, place):
    # Output goes to files: Wine may drop what a program shows on its console just before it ends.
    exe = str(place / "bin" / "quillex.exe")
    a = make(place, "a.txt")
    plain = a.read_bytes()
    panes = []

    def run_to_end(args, piped=None):
        out = place / f"out{len(panes)}.txt"
        panes.append(wine.start(exe, args, place / "work", stdout=out, piped=piped))
        status = panes[-1].wait_exit()  # no key is ever pressed
        return status, out.read_bytes()

    try:
        assert run_to_end(["--version"]) == (0, b"Quillex version 2.1\r\n")
        status, out = run_to_end(["-n", "a.txt"], "abcd\r\n")
        assert status == 0 and b"... done.\r\n" in out and b"\xb0" not in out
        assert a.read_bytes().startswith(b"QX")
        # A bad line ends the run at once; so does an empty input.
        status, out = run_to_end(["a.txt"], "abc\n")
        assert status == 1 and b"password from standard input refused" in out
        status, out = run_to_end(["a.txt"], "")
        assert status == 1 and b"user requested termination" in out
        assert not (place / "work" / "a.bak").exists()
        assert run_to_end(["-n", "a.txt"], "abcd")[0] == 0 and a.read_bytes() == plain
    finally:
        for pane in panes:
            pane.kill()


def test_redirected_output_shows_the_field_and_the_closing_line_on_the_console(run, place):
    make(place, "a.txt")
    out = place / "out.txt"
    pane = run("a.txt", stdout=out)
    password(pane)
    pane.wait_for(CLOSING)
    assert "Quillex version" not in pane.screen()
    assert pane.finish() == 0
    data = out.read_bytes()
    assert b"\r\nEnter password: \r\n\r\nAnalyzing 1 file(s):\r\n" in data and CLOSING.encode() + b"\r\n" in data
    assert b"\xb0" not in data and b"\xb1" not in data  # the field cells, code page bytes 176 and 177
    assert (place / "work" / "a.txt").read_bytes().startswith(b"QX")
