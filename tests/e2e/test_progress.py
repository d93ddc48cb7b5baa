"""The percentage of a long step on the progress line: shown while the step lasts, gone from
the finished line, never in redirected output."""
import os
import re
import time

from qxterm import ENTER

PROMPT = "Enter password: "
ROW = "file 1: big.txt... encrypting ... compressing ... writing ... done."


def test_a_long_step_shows_its_percentage_and_the_finished_line_is_exact(term, place):
    big = place / "work" / "big.txt"
    big.write_bytes(os.urandom(40 << 20))  # random: seconds of compressing
    t = term("big.txt")
    t.wait_for(PROMPT)
    t.send(b"abcd" + ENTER)
    shown = set()
    deadline = time.monotonic() + 120
    while "encrypted: 1 files" not in t.transcript():
        assert time.monotonic() < deadline, t.text()
        t._pump(0.05)
        row = t.screen.display[t.screen.cursor.y]
        match = re.search(r" compressing \. (\d+)%", row)
        if match:
            shown.add(int(match.group(1)))
            assert row[t.screen.cursor.x - 1] == "."  # the cursor stays where the next piece goes
    assert shown and max(shown) <= 100
    assert t.finish(timeout=30) == 0
    assert t.screen.display[t.row_of("file 1: ")].rstrip() == ROW


def test_redirected_output_holds_the_pieces_alone(term, place, tmp_path):
    big = place / "work" / "big.txt"
    big.write_bytes(os.urandom(30 << 20))
    log = tmp_path / "run.log"
    with open(log, "wb") as out:
        t = term("big.txt", stdout=out)
        t.wait_for(PROMPT)
        t.send(b"abcd" + ENTER)
        t.wait_for("session closed", timeout=120)
        assert t.finish(timeout=30) == 0
    text = log.read_text(errors="replace")
    assert ROW in text
    assert "%" not in text
