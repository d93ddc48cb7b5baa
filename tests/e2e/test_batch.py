"""Several workers: every run gives the files, the screen and the exit status that one
worker gives, with the clock (and so the generator's seed) fixed; stops leave no file
damaged and no temporary file behind."""
import hashlib
import os
import random
import resource
import signal
import shutil
import subprocess
import sys
import time

import pytest

import qxterm
from qxterm import ENTER

PROMPT = "Enter password: "
PASSWORD = b"batch pw 1"
FAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"


def text(n, seed):
    rng = random.Random(seed)
    words = [b"window ", b"tree ", b"stream ", b"of ", b"a ", b"file\n", b"batch ", b"worker "]
    out = bytearray()
    while len(out) < n:
        out += rng.choice(words)
    return bytes(out[:n])


def snapshot(folder):
    """Every entry of the folder: name, kind, permission bits and contents (or link target)."""
    seen = {}
    for p in sorted(folder.iterdir()):
        if p.is_symlink():
            seen[p.name] = ("link", os.readlink(p))
        else:
            seen[p.name] = ("file", oct(p.stat().st_mode & 0o777), hashlib.sha256(p.read_bytes()).hexdigest())
    return seen


def run(place, workers, args, before_keys=None, password=PASSWORD):
    """One run in the pseudo-terminal with QX_JOBS=workers and a fixed clock; answers
    every key wait (calling before_keys(t) at the first one). Returns (status, transcript)."""
    env = {"QX_JOBS": str(workers), "LD_PRELOAD": FAKETIME, "FAKETIME": "@2026-03-04 05:06:07",
           "FAKETIME_DONT_FAKE_MONOTONIC": "1",
           # A sanitized build wants its runtime first among the libraries; the clock library comes first here.
           "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}
    saved = {k: os.environ.get(k) for k in env}
    os.environ.update(env)
    try:
        t = qxterm.Terminal(list(args), place / "work", str(place / "bin" / "quillex"))
    finally:
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v
    try:
        t.wait_for(PROMPT)
        t.send(password + ENTER)
        if before_keys is not None:
            t.wait_for(qxterm.PROCEED)
            before_keys(t)
        status = t.finish_answering(timeout=60)
        return status, t.transcript()
    finally:
        t.kill()


def same_with_one_and_four(place, make, args, before_keys=None):
    """Makes the folder afresh for each worker count, runs, and compares everything."""
    results = []
    for workers in (1, 4):
        work = place / "work"
        shutil.rmtree(work)
        work.mkdir()
        make(work)
        status, screen = run(place, workers, args, before_keys)
        results.append((status, screen, snapshot(work)))
    assert results[0][0] == results[1][0]
    assert results[0][1] == results[1][1]
    assert results[0][2] == results[1][2]
    return results[1]


def mixed_folder(work):
    """Short inputs between long ones (the codec's carried window), tiny and stored files,
    a read-only file, a link to another entry, a file with its backup name taken."""
    sizes = [30000, 100, 4141, 4142, 250000, 12, 4155, 70000, 3000, 1 << 20, 5000]
    for k, n in enumerate(sizes):
        (work / f"f{k:02}.txt").write_bytes(text(n, k))
    (work / "pack.zip").write_bytes(random.Random(7).randbytes(300000))
    (work / "locked.txt").write_bytes(text(20000, 99))
    os.chmod(work / "locked.txt", 0o444)
    os.symlink("f04.txt", work / "link.txt")
    (work / "f07.bak").write_bytes(b"an older backup\n")


def test_a_mixed_folder_encrypts_and_decrypts_alike(place):
    status, screen, _ = same_with_one_and_four(place, mixed_folder, ["*.txt", "*.zip", "*.bak"])
    assert "encrypted: " in screen and status == 2  # the read-only file fails

    def encrypted(work):
        mixed_folder(work)
        run(place, 1, ["-e", "-n", "*.txt", "*.zip"])
        # A file under another password and a damaged one among the rest.
        (work / "other.txt").write_bytes(text(50000, 5))
        run(place, 1, ["-e", "-n", "other.txt"], password=b"another pw")
        damaged = bytearray((work / "f09.txt").read_bytes())
        damaged[len(damaged) // 2] ^= 0x55
        (work / "f09.txt").write_bytes(bytes(damaged))

    status, screen, _ = same_with_one_and_four(place, encrypted, ["-d", "*.txt", "*.zip"])
    assert "wrong password or file is corrupt" in screen and status == 2


def test_a_list_with_duplicates_missing_files_and_backups_gives_the_same_run(place):
    def listed(work):
        mixed_folder(work)
        names = ["f00.txt", "missing.txt", "f04.txt", "f00.txt", "link.txt", "f07.txt", "f07.bak",
                 "f01.txt", "f09.txt", "./f09.txt", "f03.txt", "pack.zip"]
        (work / "list").write_text("\n".join(names) + "\n")

    status, screen, _ = same_with_one_and_four(place, listed, ["-l", "list"])
    assert "couldn't open file missing.txt" in screen


def test_many_tiny_files_and_a_file_changed_during_the_run(place):
    def tiny(work):
        for k in range(150):
            (work / f"t{k:03}.txt").write_bytes(text(k * 37 % 300 + 1, k))
        for k in range(3):
            (work / f"big{k}.txt").write_bytes(text(400000, 50 + k))
        # A key wait right before big2: the workers have it ready by the time the key comes.
        names = [f"t{k:03}.txt" for k in range(150)]
        names[40:40] = ["big0.txt", "big1.txt", "missing", "big2.txt"]
        (work / "list").write_text("\n".join(names) + "\n")

    def change_a_later_file(t):
        # While the key wait of "missing" is shown, another program changes a file already read ahead.
        time.sleep(1.5)
        with open(place / "work" / "big2.txt", "ab") as f:
            f.write(b"written by another program\n")

    status, screen, files = same_with_one_and_four(place, tiny, ["-l", "list"], change_a_later_file)
    assert "encrypted: 153 files" in screen and status == 2
    del files


def peak_memory_kib(args, cwd):
    """The largest resident size of a quillex run, from the kernel's accounting of a fresh parent."""
    probe = ("import resource, subprocess, sys\n"
             "subprocess.run(sys.argv[1:], input=b'batch pw 1\\n', stdout=subprocess.DEVNULL, check=True)\n"
             "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n")
    out = subprocess.run([sys.executable, "-c", probe, *args], cwd=cwd, capture_output=True, check=True,
                         env={**os.environ, "QX_JOBS": "4"})
    return int(out.stdout)


def test_four_workers_over_large_files_stay_in_bounded_memory(place):
    work = place / "work"
    for k in range(6):
        (work / f"large{k}.txt").write_bytes(text(12 << 20, k))
    # A sanitized build's own shadow memory and quarantine would exceed any such bound.
    bound = 96 * 1024 if os.environ.get("QX_SANITIZED", "0") in ("0", "") else 1 << 40
    assert peak_memory_kib([str(place / "bin" / "quillex"), "-e", "-n", "*.txt"], work) < bound
    assert peak_memory_kib([str(place / "bin" / "quillex"), "-d", "-n", "*.txt"], work) < bound
    for k in range(6):
        assert (work / f"large{k}.txt").read_bytes() == text(12 << 20, k)


@pytest.mark.skipif(os.environ.get("QX_SANITIZED", "0") not in ("0", ""),
                    reason="a sanitized build reserves address space of its own")
@pytest.mark.parametrize("workers", [8, 64])
def test_workers_short_of_address_space_fail_cleanly(place, workers):
    # Workers that cannot have their buffers leave their files to the main thread;
    # a file that still cannot have them fails unchanged, and a run that cannot go
    # on stops with an error. No signal ends it, and every file stays whole.
    work = place / "work"
    originals = {f"m{k}.txt": text((1 << 20) + 77777 * k, 100 + k) for k in range(12)}
    for name, data in originals.items():
        (work / name).write_bytes(data)
    limit = 24 << 20
    for switch in ("-e", "-d"):
        done = subprocess.run(
            [str(place / "bin" / "quillex"), switch, "-n", "*.txt"], cwd=work, input=PASSWORD + b"\n",
            stdout=subprocess.DEVNULL, env={**os.environ, "QX_JOBS": str(workers)},
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)), timeout=120)
        assert done.returncode in (0, 1, 2), f"{switch}: status {done.returncode}"
        assert sorted(p.name for p in work.iterdir()) == sorted(originals)
        assert list((place / "bin").glob("QXLList*")) == []
    status, _ = run(place, 1, ["-d", "-n", "*.txt"])
    for name, data in originals.items():
        assert (work / name).read_bytes() == data, name


@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM])
def test_a_stop_at_any_moment_of_a_parallel_run_damages_nothing_and_leaves_nothing(place, number):
    work = place / "work"
    originals = {f"s{k}.txt": text(rng_size, k) for k, rng_size in enumerate([3 << 20, 1 << 20, 5000, 2 << 20, 40,
                                                                             1 << 20, 600000, 3 << 20])}
    for delay in (0.05, 0.2, 0.4, 0.7, 1.0, 1.5):
        for name, data in originals.items():
            (work / name).write_bytes(data)
        for p in work.glob("*.bak"):
            p.unlink()
        t = qxterm.Terminal(["-e", "*.txt"], work, str(place / "bin" / "quillex"), stdin=subprocess.PIPE)
        try:
            t.proc.stdin.write(PASSWORD + b"\n")
            t.proc.stdin.close()
            time.sleep(delay)
            os.kill(t.proc.pid, number)
            t.wait_exit(timeout=30)
        finally:
            t.kill()
        left = [p.name for p in work.iterdir() if p.name.startswith("EX") or ".qxtmp" in p.name]
        assert left == [], f"after {delay} s"
        for p in work.glob("*.bak"):
            assert p.read_bytes() == originals[p.stem + ".txt"]
        # Every file holds its original or its complete encryption: decrypting gives the originals.
        status, _ = run(place, 1, ["-d", "-n", "*.txt"])
        for name, data in originals.items():
            assert (work / name).read_bytes() == data, f"{name} after {delay} s"
