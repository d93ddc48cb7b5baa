"""The install tree, the manual page and the Debian package made from the build tree of QX_QUILLEX."""
import gzip
import os
import pathlib
import shutil
import subprocess

import pytest

import qxterm

MAN_SOURCE = pathlib.Path(__file__).resolve().parents[2] / "man" / "quillex.1"


def build_dir():
    """The build tree: the program lands at its top."""
    if not qxterm.QUILLEX or not os.path.exists(qxterm.QUILLEX):
        pytest.fail("QX_QUILLEX must name the built quillex")
    build = pathlib.Path(qxterm.QUILLEX).resolve().parent
    if not (build / "CMakeCache.txt").exists():
        pytest.fail(f"{build} is not a build tree")
    return build


def tool_env():
    env = qxterm.program_env()
    env.pop("DESTDIR", None)
    return env


def files_below(root):
    return sorted(str(p.relative_to(root)) for p in root.rglob("*") if not p.is_dir())


def run_once(program, work):
    """No arguments, without a controlling terminal: the banner, the syntax text, status 1, nothing left behind."""
    work.mkdir()
    proc = subprocess.run([str(program)], cwd=work, stdin=subprocess.DEVNULL, capture_output=True,
                          env=qxterm.program_env(), start_new_session=True, timeout=qxterm.WAIT)
    out = qxterm.plain(proc.stdout)
    assert proc.returncode == 1, out
    assert "Quillex version 2.1" in out and qxterm.SYNTAX_FIRST in out and qxterm.CLOSING in out
    assert list(work.iterdir()) == []


def check_man_renders(page):
    if shutil.which("man") is None:
        pytest.skip("man is not installed")
    env = dict(tool_env(), MANWIDTH="80")
    proc = subprocess.run(["man", "--warnings", "-l", str(page)], capture_output=True, text=True, env=env,
                          timeout=30)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    for section in ("NAME", "SYNOPSIS", "OPTIONS", "EXIT STATUS", "EXAMPLES", "SECURITY"):
        assert f"\n{section}\n" in proc.stdout, section


def test_install_tree_holds_the_program_and_the_page_only(tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", str(build_dir()), "--prefix", str(prefix)], check=True,
                   capture_output=True, env=tool_env(), timeout=60)
    assert files_below(prefix) == ["bin/quillex", "share/man/man1/quillex.1"]
    assert os.access(prefix / "bin" / "quillex", os.X_OK)
    assert (prefix / "share/man/man1/quillex.1").read_bytes() == MAN_SOURCE.read_bytes()
    run_once(prefix / "bin" / "quillex", tmp_path / "work")
    check_man_renders(prefix / "share/man/man1/quillex.1")


def test_debian_package(tmp_path):
    needed = ("cpack", "dpkg-deb", "dpkg", "dpkg-shlibdeps", "file")
    missing = [tool for tool in needed if shutil.which(tool) is None]
    if missing:
        pytest.skip("not installed: " + " ".join(missing))
    build = build_dir()
    out = tmp_path / "out"
    # The package and cpack's staging tree go to the scratch folder, not the build tree.
    subprocess.run(["cpack", "-G", "DEB", "--config", str(build / "CPackConfig.cmake"), "-B", str(out)],
                   check=True, capture_output=True, env=tool_env(), timeout=120)
    arch = subprocess.run(["dpkg", "--print-architecture"], check=True, capture_output=True,
                          text=True).stdout.strip()
    deb = out / f"quillex_2.1_{arch}.deb"
    assert deb.exists(), sorted(p.name for p in out.iterdir())

    def field(name):
        return subprocess.run(["dpkg-deb", "-f", str(deb), name], check=True, capture_output=True,
                              text=True).stdout.strip()

    assert (field("Package"), field("Version"), field("Architecture")) == ("quillex", "2.1", arch)
    assert "@" in field("Maintainer") and field("Section") == "utils" and field("Description")
    assert "libc6" in field("Depends")  # found by dpkg-shlibdeps

    listing = subprocess.run(["dpkg-deb", "-c", str(deb)], check=True, capture_output=True, text=True).stdout
    files = sorted(line.split()[5] for line in listing.splitlines() if not line.startswith("d"))
    assert files == ["./usr/bin/quillex", "./usr/share/man/man1/quillex.1.gz"]

    root = tmp_path / "root"
    subprocess.run(["dpkg-deb", "-x", str(deb), str(root)], check=True, timeout=60)
    page = root / "usr/share/man/man1/quillex.1.gz"
    assert gzip.decompress(page.read_bytes()) == MAN_SOURCE.read_bytes()
    run_once(root / "usr/bin/quillex", tmp_path / "work")
    check_man_renders(page)
