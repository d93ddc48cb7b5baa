"""Fixtures: a scratch folder per test with the program linked in and a working folder."""
import os

import pytest

import qxterm


@pytest.fixture
def place(tmp_path):
    """tmp/bin/quillex (a link to the built program, so temporary list files land in tmp/bin) and tmp/work."""
    if not qxterm.QUILLEX or not os.path.exists(qxterm.QUILLEX):
        pytest.fail("QX_QUILLEX must name the built quillex")
    (tmp_path / "bin").mkdir()
    (tmp_path / "work").mkdir()
    os.symlink(qxterm.QUILLEX, tmp_path / "bin" / "quillex")
    return tmp_path


@pytest.fixture
def term(place):
    """Starts quillex in the working folder; every started terminal is killed after the test."""
    started = []

    def start(*args, stdout=None):
        t = qxterm.Terminal(list(args), place / "work", str(place / "bin" / "quillex"), stdout=stdout)
        started.append(t)
        return t

    yield start
    for t in started:
        t.kill()
