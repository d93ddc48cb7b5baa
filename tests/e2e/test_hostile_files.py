"""Files under hostile conditions: other programs and runs touching them, names that
collide with backups, shared groups, lists that never end. Nothing may be lost."""
import grp
import os
import pwd
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

import qxterm
from qxterm import ENTER

PROMPT = "Enter password: "
CHANGED = "was changed by another program during processing; this run left it as it is"


def leftovers(place):
    """The run's own files: list files beside the program, work files and fresh files."""
    extra = [p.name for p in (place / "bin").iterdir() if p.name != "quillex"]
    extra += [p.name for p in (place / "work").iterdir() if p.name.startswith("EX") or ".qxtmp" in p.name]
    return sorted(extra)


def run(term, *args, password=b"abcd"):
    t = term(*args)
    t.wait_for(PROMPT)
    t.send(password + ENTER)
    return t


def decrypts_with(term, path, password):
    t = run(term, "-d", "-n", path.name, password=password)
    return t.finish_answering() == 0 and path.read_bytes()[:2] != b"QX"


# -- another program or run touches the file meanwhile ---------------------------------

def append(path):
    with open(path, "ab") as f:
        f.write(b"saved meanwhile")
    return path.read_bytes()


def save_as_an_editor_does(path):
    fresh = path.with_name(path.name + "~new")
    fresh.write_bytes(b"the editor's new version")
    os.replace(fresh, path)
    return path.read_bytes()


@pytest.mark.parametrize("change", [append, save_as_an_editor_does], ids=["append", "editor save"])
def test_a_change_made_while_compressing_is_kept_and_the_entry_fails(term, place, change):
    big = place / "work" / "big.txt"
    big.write_bytes(os.urandom(8 << 20))  # random: compressing it takes a while
    t = run(term, "big.txt")
    t.wait_for(" compressing .", timeout=30)
    now = change(big)
    t.wait_for(CHANGED, timeout=30)
    assert t.finish_answering(timeout=30) == 2
    assert big.read_bytes() == now
    assert not (place / "work" / "big.bak").exists()  # the backup this entry took is gone
    assert leftovers(place) == []


def test_two_runs_on_one_file_with_different_passwords_one_wins(term, place):
    data = os.urandom(4 << 20)
    big = place / "work" / "big.txt"
    big.write_bytes(data)
    runs = [term("big.txt"), term("big.txt")]
    for t in runs:
        t.wait_for(PROMPT)
    runs[0].send(b"first pw" + ENTER)
    runs[1].send(b"second pw" + ENTER)
    statuses = [t.finish_answering(timeout=30) for t in runs]
    assert sorted(statuses) == [0, 2]
    winner = b"first pw" if statuses[0] == 0 else b"second pw"
    assert big.read_bytes()[:2] == b"QX"
    assert decrypts_with(term, big, winner) and big.read_bytes() == data
    assert leftovers(place) == []


# -- backups never destroy a file of this run --------------------------------------------

def test_star_keeps_the_users_own_backup_file(term, place):
    work = place / "work"
    (work / "a.txt").write_bytes(b"notes")
    (work / "a.bak").write_bytes(b"MY DATA")
    t = run(term, "*")
    assert t.finish_answering() == 2
    assert "a.txt left as it is: its backup a.bak would replace a file that this run lists or has written" \
        in t.transcript()
    assert (work / "a.txt").read_bytes() == b"notes"
    # a.bak was an entry of its own (a backup file gets no backup): it is encrypted, not lost.
    assert decrypts_with(term, work / "a.bak", b"abcd")
    assert (work / "a.bak").read_bytes() == b"MY DATA"


def test_two_entries_sharing_a_backup_name_the_second_is_refused(term, place):
    work = place / "work"
    (work / "a.txt").write_bytes(b"text one")
    (work / "a.doc").write_bytes(b"text two")
    t = run(term, "a.txt", "a.doc")
    assert t.finish_answering() == 2
    # Whichever comes first is encrypted with its backup; the other is left as it is.
    first, second = ("a.txt", "a.doc") if (work / "a.txt").read_bytes()[:2] == b"QX" else ("a.doc", "a.txt")
    assert (work / "a.bak").read_bytes() == {"a.txt": b"text one", "a.doc": b"text two"}[first]
    assert (work / second).read_bytes() == {"a.txt": b"text one", "a.doc": b"text two"}[second]
    assert f"{second} left as it is: its backup a.bak would replace" in t.transcript()


def test_a_list_file_named_like_a_backup_is_kept(term, place):
    work = place / "work"
    (work / "a.txt").write_bytes(b"text")
    (work / "a.bak").write_bytes(b"a.txt\n")
    t = run(term, "-l", "a.bak")
    assert t.finish_answering() == 2
    assert (work / "a.bak").read_bytes() == b"a.txt\n"
    assert (work / "a.txt").read_bytes() == b"text"


@pytest.mark.parametrize("occupant", ["link to the file", "folder"])
def test_a_backup_that_cannot_be_taken_refuses_the_entry(term, place, occupant):
    work = place / "work"
    (work / "notes.txt").write_bytes(b"notes")
    if occupant == "folder":
        (work / "notes.bak").mkdir()
        expected = "notes.txt left as it is: no backup can be written to notes.bak"
    else:
        os.symlink("notes.txt", work / "notes.bak")
        expected = "notes.txt left as it is: its backup name notes.bak leads to the file itself"
    t = run(term, "notes.txt")
    assert t.finish_answering() == 2
    assert expected in t.transcript()
    assert (work / "notes.txt").read_bytes() == b"notes"
    # Without a backup there is nothing to collide with.
    t = run(term, "-n", "notes.txt")
    assert t.finish_answering() == 0
    assert (work / "notes.txt").read_bytes()[:2] == b"QX"


# -- shared files keep their group ---------------------------------------------------------

@pytest.fixture
def team():
    """Two users of a group `qxteam` (created for the test, removed after it)."""
    if os.geteuid() != 0 or not shutil.which("useradd"):
        pytest.skip("needs root to create users and a group")
    names = ["qxowner", "qxmember"]
    subprocess.run(["groupadd", "-f", "qxteam"], check=True)
    for name in names:
        if subprocess.run(["id", name], capture_output=True).returncode != 0:
            subprocess.run(["useradd", "-M", "-N", "-G", "qxteam", name], check=True)
    yield [pwd.getpwnam(n) for n in names], grp.getgrnam("qxteam")
    for name in names:
        subprocess.run(["userdel", name], capture_output=True)
    subprocess.run(["groupdel", "qxteam"], capture_output=True)


def test_a_group_shared_file_rewritten_by_another_member_keeps_its_group(place, team):
    (owner, member), group = team
    shared = Path(tempfile.mkdtemp(prefix="qx_shared_"))  # reachable by every user
    program = shared / "quillex"
    shutil.copy(qxterm.QUILLEX, program)  # where the member may run it and write its list
    os.chmod(shared, 0o777)
    os.chmod(program, 0o755)
    os.chown(shared, owner.pw_uid, group.gr_gid)
    notes = shared / "notes.txt"
    notes.write_bytes(b"team notes\n" * 20)
    os.chown(notes, owner.pw_uid, group.gr_gid)
    os.chmod(notes, 0o660)

    def as_member():
        os.setgroups([group.gr_gid])
        os.setgid(member.pw_gid)
        os.setuid(member.pw_uid)

    real_popen = subprocess.Popen

    def member_popen(*args, preexec_fn=None, **kwargs):
        def both():
            preexec_fn()
            as_member()
        return real_popen(*args, preexec_fn=both, **kwargs)

    subprocess.Popen = member_popen
    try:
        t = qxterm.Terminal(["notes.txt"], shared, str(program))
    finally:
        subprocess.Popen = real_popen
    try:
        t.wait_for(PROMPT)
        t.send(b"abcd" + ENTER)
        assert t.finish_answering() == 0, t.text()
    finally:
        t.kill()
    for path in (notes, shared / "notes.bak"):
        info = path.stat()
        assert info.st_gid == group.gr_gid, path.name
        assert info.st_mode & 0o777 == 0o660, path.name
    assert notes.read_bytes()[:2] == b"QX"
    shutil.rmtree(shared)


# -- lists that never end ---------------------------------------------------------------------

def test_a_device_as_the_list_file_is_refused(term, place):
    t = term("-l", "/dev/zero")
    t.wait_for("Can't open filelist /dev/zero")
    assert t.finish_answering() == 1
    assert leftovers(place) == []


def test_a_list_of_nothing_but_empty_entries_ends(term, place):
    (place / "work" / "list").write_bytes(b"\n\0\r\n\n" * 20000)
    t = run(term, "-l", "list")
    t.wait_for(qxterm.CLOSING, timeout=20)
    assert t.finish() in (0, 1)
    assert leftovers(place) == []
