"""Fixtures: one Wine prefix and tmux server per session, a scratch folder per test."""
import os
import shutil

import pytest

from winterm import Wine

EXE = os.environ.get("QX_WIN_QUILLEX", "")
NATIVE = os.environ.get("QX_QUILLEX", "")


@pytest.fixture(scope="session")
def wine():
    if not EXE or not os.path.exists(EXE):
        pytest.fail("QX_WIN_QUILLEX must name the built quillex.exe")
    w = Wine()
    yield w
    w.close()


@pytest.fixture
def place(tmp_path):
    """tmp/bin/quillex.exe (a copy, so temporary list files land in tmp/bin) and tmp/work."""
    (tmp_path / "bin").mkdir()
    (tmp_path / "work").mkdir()
    shutil.copy(EXE, tmp_path / "bin" / "quillex.exe")
    return tmp_path


@pytest.fixture
def run(wine, place):
    """Starts quillex.exe (or, with native=True, the Linux build) in tmp/work."""
    panes = []

    def start(*args, native=False, stdout=None, cwd=None, exe=None, env=None):
        if exe:
            pass
        elif native:
            if not NATIVE or not os.path.exists(NATIVE):
                pytest.skip("QX_QUILLEX names no Linux build")
            exe = NATIVE
        else:
            exe = str(place / "bin" / "quillex.exe")
        pane = wine.start(exe, args, cwd or place / "work", stdout=stdout, env=env)
        panes.append(pane)
        return pane

    yield start
    for pane in panes:
        pane.kill()
