"""The run as a person sees it in a terminal: banner, switches, file list, password, summary, exit."""
import os

import pytest

import qxterm
from qxterm import CLOSING, COLS, ENTER, ESC, SYNTAX_FIRST

PROMPT = "Enter password: "


def make(place, *names, data="text\n"):
    for name in names:
        (place / "work" / name).write_text(data)


def leftovers(place):
    """Files the run left behind: anything in bin/ but the program, any work file in work/."""
    extra = [p.name for p in (place / "bin").iterdir() if p.name != "quillex"]
    extra += [p.name for p in (place / "work").iterdir() if p.name.startswith("EX")]
    return sorted(extra)


def enter_password(t, password=b"abcd"):
    t.wait_for(PROMPT)
    t.send(password + ENTER)


def is_bright(cell, colour):
    return cell.fg == colour and cell.bold


def test_no_arguments_banner_syntax_closing_line_and_key_wait(term, place):
    t = term()
    syntax_row = t.wait_for(SYNTAX_FIRST)
    closing_row = t.wait_for(CLOSING)
    assert t.still_running_after(0.3), "the closing line must wait for a key"
    assert t.finish() == 1
    assert t.row_of("Quillex version 2.1") == 0
    assert t.row_of("32-bit data encryption software") == 1
    assert t.row_of("*** error ***") == syntax_row - 1 < closing_row
    assert "One or more filenames and/or wildcards" in t.text()
    assert "(WARNING! Can lose data if password is forgotten!)" in t.text()
    # Banner: bright yellow on blue across the whole row; errors: bright red.
    for col in (0, COLS - 1):
        assert t.cell(0, col).bg == "blue"
    assert is_bright(t.cell(0, 0), "brown")
    assert is_bright(t.cell(syntax_row - 1, 0), "red")
    assert is_bright(t.cell(syntax_row, 0), "red")
    assert leftovers(place) == []


@pytest.mark.parametrize("args", [["-e"], ["-n", "-l", "/d"], ["-ee", "a.txt"], ["-x", "a.txt"],
                                  ["-", "a.txt"], ["a.txt", "-dd"]])
def test_bad_or_missing_file_arguments_give_the_syntax_text(term, place, args):
    make(place, "a.txt")
    t = term(*args)
    t.wait_for(SYNTAX_FIRST)
    assert t.finish() == 1
    assert "Enter password" not in t.transcript()
    assert leftovers(place) == []


@pytest.mark.parametrize("args, message", [
    (["-e", "a.txt", "-d"], "Parameter -d can't be used with -e!"),
    (["-D", "a.txt", "/e"], "Parameter -e can't be used with -d!"),
])
def test_conflicting_switches_in_both_orders(term, place, args, message):
    make(place, "a.txt")
    t = term(*args)
    row = t.wait_for(message)
    assert t.finish() == 1
    assert t.row_of("*** error ***") == row - 1
    assert is_bright(t.cell(row, 0), "red")


@pytest.mark.parametrize("switch", ["-e", "-E", "/e", "/E"])
def test_encrypt_switch_in_any_spelling_gives_the_encoding_mode_line(term, place, switch):
    make(place, "a.txt")
    t = term("a.txt", switch, "-e")  # a repeated switch is harmless
    enter_password(t)
    t.wait_for("Encoding 1 file(s):")
    t.wait_for("file 1: a.txt")
    assert t.finish() == 0


def test_wildcards_are_matched_by_the_program_and_summary_closes_the_run(term, place):
    make(place, "a.txt", "b.txt", "c.doc", "Upper.TXT")
    (place / "work" / "dir.txt").mkdir()
    t = term("*.txt")
    t.wait_for("░" * 32)
    # The masked field: 32 free cells; typed characters show as filled cells, never as text.
    field_row = t.row_of(PROMPT)
    assert t.screen.display[field_row][len(PROMPT):len(PROMPT) + 33].rstrip() == "░" * 32
    t.send(b"ab")
    t.wait_for("▒▒" + "░" * 30)
    t.send(b"cd" + ENTER)
    mode_row = t.wait_for("Analyzing 2 file(s):")
    t.wait_for("decrypted: 0 files")
    assert t.screen.display[mode_row + 1].startswith("file 2: a.txt... encrypting ")
    assert t.screen.display[mode_row + 2].startswith("file 1: b.txt... encrypting ")
    assert t.screen.display[mode_row + 2].rstrip().endswith(" done.")
    assert t.screen.display[mode_row + 3].strip() == ""
    assert t.screen.display[mode_row + 4].strip() == "all done,"
    assert t.screen.display[mode_row + 5].strip() == "encrypted: 2 files"
    assert "abcd" not in t.transcript()
    assert t.finish() == 0
    assert leftovers(place) == []


def test_three_arguments_are_announced_from_the_last_as_3_2_1(term, place):
    make(place, "a.txt", "b.txt", "c.txt")
    t = term("a.txt", "b.txt", "c.txt")
    enter_password(t)
    t.wait_for("Analyzing 3 file(s):")
    t.wait_for("file 1: a.txt")
    assert t.row_of("file 3: c.txt") < t.row_of("file 2: b.txt") < t.row_of("file 1: a.txt")
    assert t.finish() == 0


def test_absolute_paths_and_file_case_are_kept(term, place):
    make(place, "MixedCase.TXT")
    path = str(place / "work" / "MixedCase.TXT")
    t = term(path, "-e")
    enter_password(t)
    t.wait_for("Encoding 1 file(s):")
    t.wait_for("file 1: " + path + "... encrypting ")
    t.wait_for(" done.")
    assert t.finish() == 0
    assert (place / "work" / "MixedCase.bak").read_text() == "text\n"


def test_wildcards_that_match_nothing_stop_the_run(term, place):
    make(place, "a.txt")
    t = term("*.none", "missing/*.txt", "sub/")
    t.wait_for("No matching files")
    assert t.finish() == 1
    assert "Enter password" not in t.transcript()
    assert leftovers(place) == []


def test_escape_in_the_password_field_removes_the_temporary_files(term, place):
    make(place, "a.txt")
    t = term("*.txt")
    t.wait_for(PROMPT)
    # While the run waits, its own list file lies beside the program; the work file is
    # made with the first compression.
    names = leftovers(place)
    assert len(names) == 1 and names[0].startswith("QXLList_")
    assert (place / "bin" / names[0]).read_text() == "a.txt\n"
    t.send(b"ab" + ESC)
    t.wait_for("user requested termination")
    assert t.finish() == 1
    assert leftovers(place) == []
    assert sorted(os.listdir(place / "work")) == ["a.txt"]


def test_escape_with_a_list_file_keeps_the_users_list(term, place):
    (place / "work" / "my.lst").write_text("a.txt\n")
    t = term("-l", "my.lst")
    t.wait_for(PROMPT)
    t.send(ESC)
    t.wait_for("user requested termination")
    assert t.finish() == 1
    assert (place / "work" / "my.lst").read_text() == "a.txt\n"
    assert leftovers(place) == []


def test_missing_list_file(term, place):
    t = term("-l", "missing.lst", "ignored.txt")
    t.wait_for("Can't open filelist missing.lst")
    assert t.finish() == 1
    assert not (place / "work" / "missing.lst").exists()
    assert leftovers(place) == []


@pytest.mark.parametrize("name", ["folder", "x" * 256])
def test_list_file_that_is_a_folder_or_too_long_a_name(term, place, name):
    if name == "folder":
        (place / "work" / name).mkdir()
    t = term("-l", name)
    t.wait_for("Can't open filelist " + name[:40])
    assert t.finish() == 1


def test_empty_list_file_runs_to_the_summary(term, place):
    (place / "work" / "empty.lst").write_text("\n\r\n\n")
    t = term("-l", "empty.lst")
    enter_password(t)
    t.wait_for("Analyzing files from empty.lst:")
    t.wait_for("encrypted: 0 files")
    assert "file 1" not in t.transcript()
    assert t.finish() == 0
    assert (place / "work" / "empty.lst").exists()


def test_list_file_with_cr_lf_long_lines_and_control_characters(term, place):
    long = "L" * 300
    (place / "work" / "win.lst").write_bytes(
        b"a.txt\r\n.\\b.txt\r\n\r\nbad\x1b[31m.txt\r\n" + long.encode() + b"\r\nlast")
    t = term("-d", "-l", "win.lst", "ignored")
    enter_password(t)
    t.wait_for("Decoding files from win.lst:")
    # None of the entries names an encrypted file: each is reported, with a key wait.
    for entry in ("file 1: a.txt", "file 2: b.txt", "file 3: bad?[31m.txt",  # a path never drives the terminal
                  "file 4: " + "L" * 255, "file 5: " + "L" * 45, "file 6: last"):
        t.wait_for(entry)
        t.wait_for("press any key to proceed...")
        t.send(b" ")
    t.wait_for("decrypted: 0 files")
    assert t.transcript().count("file 4: " + "L" * 255) == 1
    assert "couldn't open file a.txt" in t.transcript()
    assert t.finish() == 2


def test_names_that_cannot_be_listed_are_errors_and_the_run_exits_with_2(term, place):
    make(place, "a.txt", "bad\nname.txt")
    t = term("*.txt")
    t.wait_for("couldn't open file bad?name.txt")
    t.wait_for("press any key to proceed...")
    t.send(b" ")
    enter_password(t)
    t.wait_for("Analyzing 1 file(s):")
    t.wait_for("file 1: a.txt")
    assert t.finish() == 2
    assert leftovers(place) == []


def test_two_runs_in_one_folder_keep_to_their_own_files(term, place):
    make(place, "a.txt")
    first = term("*")
    first.wait_for(PROMPT)
    second = term("*")
    second.wait_for(PROMPT)
    assert len(leftovers(place)) == 2  # two list files
    for t in (first, second):
        t.send(b"abcd" + ENTER)
        t.wait_for("Analyzing 1 file(s):")
        t.wait_for("file 1: a.txt")
    # One after the other both succeed; at once, the later one is refused with the file unchanged.
    assert sorted([first.finish_answering(), second.finish_answering()]) in ([0, 0], [0, 2])
    assert leftovers(place) == []


def test_a_program_folder_that_cannot_be_written_puts_the_list_in_the_temporary_folder(place):
    """An installed program's folder is not writable: the run's list goes to /tmp and is removed."""
    make(place, "a.txt")
    before = set(os.listdir("/tmp"))
    t = qxterm.Terminal(["a.txt"], place / "work", qxterm.QUILLEX, argv0="/nonexistent-folder/quillex")
    try:
        enter_password(t)
        t.wait_for("file 1: a.txt... encrypting ")
        t.wait_for("encrypted: 1 files")
        assert t.finish() == 0
    finally:
        t.kill()
    assert not [n for n in set(os.listdir("/tmp")) - before if n.startswith("QXLList_")]


def test_a_users_files_shaped_like_run_files_are_processed(term, place):
    make(place, "EXq12345", "QXLList_1a.Tmp")
    t = term("*")
    enter_password(t)
    t.wait_for("Analyzing 2 file(s):")
    assert t.finish() == 0
    for name in ("EXq12345", "QXLList_1a.Tmp"):
        assert (place / "work" / name).read_bytes()[:2] == b"QX"
