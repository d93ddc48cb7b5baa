"""quillex.exe under Wine in a tmux pane: one Wine prefix and one tmux server for the whole suite."""
import os
import shlex
import shutil
import subprocess
import tempfile
import time
import warnings

COLS, ROWS = 100, 30
TIMEOUT = float(os.environ.get("QX_WINE_TIMEOUT", "60"))  # seconds: CI hosts run ten times slower

CLOSING = "session closed, any key to continue..."
PROMPT = "Enter password: "
SYNTAX_FIRST = "syntax: Quillex.exe <file(s)> [- e|d] [-l] [-n]"


def _find(name, *candidates):
    for path in (shutil.which(name), *candidates):
        if path and os.access(path, os.X_OK):
            return path
    raise RuntimeError(f"{name} not found (Debian packages wine64, wine)")


class Wine:
    """One prefix and one persistent wine server, started detached from the test's output."""

    def __init__(self):
        self.wine = _find("wine64", "/usr/lib/wine/wine64")
        self.server = _find("wineserver", "/usr/lib/wine/wineserver")
        self.root = tempfile.mkdtemp(prefix="qxwine-")
        self.env = dict(os.environ)
        self.env.update(
            WINEPREFIX=os.path.join(self.root, "prefix"),
            WINEDEBUG="-all",
            WINEDLLOVERRIDES="mscoree,mshtml=",  # no installer dialogs for .NET or HTML
            WINEARCH="win64",
            LANG="C.UTF-8",
            LC_ALL="C.UTF-8",
            DISPLAY="",
        )
        os.makedirs(self.env["WINEPREFIX"])
        # -p keeps the server up between runs; it forks into the background at once.
        subprocess.run([self.server, "-p"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True, check=False)
        subprocess.run([self.wine, "wineboot", "-i"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300, check=False)
        self.tmux = ["tmux", "-L", f"qxwine{os.getpid()}", "-f", "/dev/null"]
        subprocess.run(self.tmux + ["new-session", "-d", "-s", "idle", "-x", str(COLS), "-y", str(ROWS)],
                       env=self.env, check=True)
        subprocess.run(self.tmux + ["set-option", "-g", "remain-on-exit", "on"], check=True)
        subprocess.run(self.tmux + ["set-option", "-g", "escape-time", "0"], check=True)
        self.count = 0

    def close(self):
        subprocess.run(self.tmux + ["kill-server"], stderr=subprocess.DEVNULL, check=False)
        subprocess.run([self.server, "-k"], env=self.env, stderr=subprocess.DEVNULL, check=False)
        shutil.rmtree(self.root, ignore_errors=True)

    def start(self, exe, args, cwd, stdout=None, piped=None, env=None, relaunched=False):
        """Starts `exe args` in `cwd` in a fresh pane of its own; returns a Pane. With `piped`
        (text), standard input is a pipe that carries exactly that text; `env` adds variables."""
        self.count += 1
        status = os.path.join(self.root, f"status{self.count}")
        command = " ".join(shlex.quote(a) for a in ([self.wine, exe] if exe.endswith(".exe") else [exe]) + list(args))
        if env:
            command = " ".join(f"{k}={shlex.quote(v)}" for k, v in env.items()) + " " + command
        if stdout:
            command += " >" + shlex.quote(str(stdout))
        if piped is not None:
            command = "printf %s " + shlex.quote(piped) + " | " + command
        script = f"cd {shlex.quote(str(cwd))} && {command}; echo $? >{shlex.quote(status)}.tmp; " \
                 f"mv {shlex.quote(status)}.tmp {shlex.quote(status)}"
        # bash, not sh: a Ctrl+C reaches the whole foreground group, and bash goes on
        # to record the status when the program itself survives or handles it.
        name = f"run{self.count}"
        subprocess.run(self.tmux + ["new-window", "-d", "-t", "idle", "-n", name, "bash", "-c", script],
                       env=self.env, check=True)
        pane = Pane(self, f"idle:{name}", status)
        if not exe.endswith(".exe") or stdout or not launch_failed(pane) or relaunched:
            return pane
        # On a loaded host Wine has once ended a program before its first byte of
        # output, with nothing on the screen: that is Wine's launch, not the
        # program, whose first act is to print. It is started once more, and the
        # test's report says so.
        warnings.warn(f"Wine ended {exe} before any output (exit status {pane.status()}); started again")
        pane.kill()
        return self.start(exe, args, cwd, stdout, piped, env, relaunched=True)


def launch_failed(pane):
    """Waits until the pane shows output or its program has ended: whether it ended with
    nothing at all on the screen."""
    def shown():
        return [line for line in pane.lines() if line.strip() and not line.startswith("Pane is dead")]

    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        if shown():
            return False
        if pane.status() is not None:
            time.sleep(0.5)  # what the program wrote last may not have reached tmux yet
            return not shown()
        time.sleep(0.05)
    return False


class Pane:
    def __init__(self, wine, target, status_file):
        self.wine, self.target, self.status_file = wine, target, status_file

    def screen(self, colours=False):
        args = ["capture-pane", "-p", "-t", self.target] + (["-e"] if colours else [])
        return subprocess.run(self.wine.tmux + args, capture_output=True, text=True, check=True).stdout

    def lines(self):
        return self.screen().split("\n")

    def wait_for(self, text, after=0):
        """Polls the screen until `text` shows on a row at or below `after`; returns that row."""
        deadline = time.monotonic() + TIMEOUT
        while True:
            for row, line in enumerate(self.lines()):
                if row >= after and text in line:
                    return row
            if time.monotonic() > deadline:
                raise AssertionError(f"{text!r} never showed (exit status {self.status()}):\n{self.screen()}")
            time.sleep(0.05)

    def keys(self, *keys):
        """Sends tmux key names (Enter, Escape, Up, BSpace...) one by one."""
        for key in keys:
            subprocess.run(self.wine.tmux + ["send-keys", "-t", self.target, key], check=True)
            if key == "Escape":
                time.sleep(0.2)  # an Esc followed at once by a key would read as Alt with that key

    def type(self, text):
        subprocess.run(self.wine.tmux + ["send-keys", "-t", self.target, "-l", text], check=True)

    def status(self):
        """The exit status once the program has ended, else None."""
        try:
            with open(self.status_file) as f:
                return int(f.read().strip())
        except FileNotFoundError:
            return None

    def wait_exit(self):
        """Waits for the program to end and returns its exit status."""
        deadline = time.monotonic() + TIMEOUT
        while (status := self.status()) is None:
            if time.monotonic() > deadline:
                raise AssertionError(f"the program did not end:\n{self.screen()}")
            time.sleep(0.05)
        return status

    def finish(self, key="x"):
        """Presses a key at the closing line and returns the exit status."""
        self.wait_for(CLOSING)
        assert self.status() is None, "the closing line must wait for a key"
        self.keys(key)
        return self.wait_exit()

    def kill(self):
        subprocess.run(self.wine.tmux + ["kill-window", "-t", self.target], stderr=subprocess.DEVNULL, check=False)
