#!/usr/bin/python3
"""`murel` driven as a user drives it in a terminal, against a real murel-control on loopback.

Usage: murel_terminal_test.py MUREL MUREL_CONTROL

Each command runs on its own pseudo-terminal; the test answers the password prompts once they show,
checks that the terminal's echo is off while it types and that the password never appears on the
screen, and asserts on the printed lines and exit statuses. Every process started is stopped.
"""

import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time

MUREL, CONTROL = sys.argv[1], sys.argv[2]
PASSWORD = "terminal-test-password-1"
EMAIL = "terminal@example.com"
TIMEOUT = 60.0

failures = []


def check(condition, what, output=""):
    if not condition:
        failures.append(what)
        print("FAIL: " + what)
        if output:
            print("---- output ----\n" + output + "\n----------------")
    else:
        print("ok: " + what)


class Control:
    """murel-control on an ephemeral loopback port, with a private data directory."""

    def __init__(self, data):
        self.data = data
        self.port = None
        self.start(0)

    def restart(self):
        """Starts again on the same port with the same accounts."""
        self.stop()
        port = self.port
        self.port = None
        self.start(port)

    def start(self, port):
        self.process = subprocess.Popen(
            [CONTROL, "--listen", "127.0.0.1:%d" % port, "--data", self.data, "--test-fast-hashes"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.log = b""
        deadline = time.monotonic() + TIMEOUT
        while self.port is None and time.monotonic() < deadline:
            ready, _, _ = select.select([self.process.stdout], [], [], 1.0)
            if not ready:
                continue
            chunk = os.read(self.process.stdout.fileno(), 4096)
            if not chunk:
                break
            self.log += chunk
            match = re.search(rb"listening on 127\.0\.0\.1:(\d+)", self.log)
            if match:
                self.port = int(match.group(1))
        if self.port is None:
            self.stop()
            raise RuntimeError("murel-control did not start: " + self.log.decode(errors="replace"))
        self.origin = "http://127.0.0.1:%d" % self.port

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()


class Terminal:
    """One `murel` run on a pseudo-terminal."""

    def __init__(self, args, env):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            try:
                os.execve(MUREL, [MUREL] + args, env)
            finally:
                os._exit(127)
        self.screen = ""
        self.status = None

    def read(self, timeout):
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return False
        try:
            chunk = os.read(self.fd, 4096)
        except OSError:  # EIO: the program closed its end
            chunk = b""
        if not chunk:
            return None
        self.screen += chunk.decode("utf-8", errors="replace")
        return True

    def wait_for(self, text, timeout=TIMEOUT, after=0):
        """Waits until `text` shows at or after screen offset `after`."""
        deadline = time.monotonic() + timeout
        while text not in self.screen[after:] and time.monotonic() < deadline:
            if self.read(0.2) is None:
                break
        return text in self.screen[after:]

    def echo_off(self):
        return (termios.tcgetattr(self.fd)[3] & termios.ECHO) == 0

    def type(self, text):
        os.write(self.fd, text.encode())

    def finish(self, timeout=TIMEOUT):
        """Reads to the end and returns the exit status (killing the program on time-out)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.read(0.2) is None:
                break
        waited, status = os.waitpid(self.pid, os.WNOHANG)
        if waited == 0:
            end = time.monotonic() + 10
            while waited == 0 and time.monotonic() < end:
                time.sleep(0.05)
                waited, status = os.waitpid(self.pid, os.WNOHANG)
            if waited == 0:
                os.kill(self.pid, signal.SIGKILL)
                _, status = os.waitpid(self.pid, 0)
        os.close(self.fd)
        self.status = os.waitstatus_to_exitcode(status)
        return self.status

    def kill(self):
        if self.status is None:
            try:
                os.kill(self.pid, signal.SIGKILL)
                os.waitpid(self.pid, 0)
            except OSError:
                pass
            try:
                os.close(self.fd)
            except OSError:
                pass

    def lines(self):
        return [line for line in self.screen.replace("\r", "").split("\n") if line.strip()]

    def last_line(self):
        lines = self.lines()
        return lines[-1] if lines else ""


def run(args, env, answers=(), timeout=TIMEOUT):
    """Runs murel on a terminal, typing each answer once its prompt shows. Returns the Terminal."""
    terminal = Terminal(args, env)
    try:
        for prompt, answer in answers:
            shown = terminal.wait_for(prompt, timeout)
            check(shown, "prompt %r shown for %s" % (prompt, args[0]), terminal.screen)
            if not shown:
                break
            check(terminal.echo_off(), "echo is off at prompt %r" % prompt)
            terminal.type(answer + "\r")
        terminal.finish(timeout)
    finally:
        terminal.kill()
    return terminal


def main():
    scratch = tempfile.mkdtemp(prefix="murel-terminal-")
    control = None
    try:
        control = Control(os.path.join(scratch, "control"))
        env = dict(os.environ)
        env["XDG_DATA_HOME"] = os.path.join(scratch, "xdg")
        env["TERM"] = "dumb"
        account = ["--server", control.origin, "--email", EMAIL]

        # A bad command line is refused with a clear reason and status 2, before anything runs.
        bad = run(["signin", "--server"], env)
        check(bad.status == 2, "bad option exits with 2", bad.screen)
        check("murel: option --server needs a value" in bad.screen, "bad option is named", bad.screen)

        # Sign up: the password is typed twice at prompts that do not echo.
        signup = run(["signup"] + account + ["--name", "Terminal PC"], env,
                     answers=[("Password for %s: " % EMAIL, PASSWORD), ("Repeat the password: ", PASSWORD)])
        check(signup.status == 0, "signup exits with 0", signup.screen)
        check(PASSWORD not in signup.screen, "the password never shows", signup.screen)
        match = re.search(r"Signed up as terminal@example\.com; this device is ([A-Za-z0-9_-]+)", signup.screen)
        check(match is not None, "signup names the account and device", signup.screen)
        device_id = match.group(1) if match else "?"
        check(signup.last_line() == "OK: Device online; select a ready host or enable hosting",
              "signup's last line reports the device online", signup.screen)
        credentials = os.path.join(env["XDG_DATA_HOME"], "murel", "credentials")
        saved = os.listdir(credentials) if os.path.isdir(credentials) else []
        check(len(saved) == 1, "one saved sign-in under $XDG_DATA_HOME/murel/credentials", str(saved))

        # A mistyped confirmation stops before anything is sent.
        mismatch = run(["signup"] + account, env,
                       answers=[("Password for %s: " % EMAIL, PASSWORD), ("Repeat the password: ", "other")])
        check(mismatch.status == 1 and mismatch.last_line() == "Failed: The passwords do not match",
              "mismatched confirmation fails", mismatch.screen)

        # The device list, with this device marked.
        devices = run(["devices"] + account, env)
        check(devices.status == 0, "devices exits with 0", devices.screen)
        check("devices: 1" in devices.lines(), "one device listed", devices.screen)
        mine = [line for line in devices.lines() if line.startswith("  * ")]
        check(len(mine) == 1 and "Terminal PC" in mine[0] and device_id in mine[0] and "online" in mine[0],
              "this device is marked, named and online", devices.screen)
        check(devices.last_line() == "OK: Device online; host list updated", "devices' last line", devices.screen)

        # A wrong password fails with the Controller's error text and status 1.
        wrong = run(["signin"] + account, env, answers=[("Password for %s: " % EMAIL, "not-the-password-1")])
        check(wrong.status == 1, "wrong password exits with 1", wrong.screen)
        check(wrong.last_line() == "Failed: Control API returned HTTP 401", "wrong password's last line",
              wrong.screen)

        # The password may come from a pipe; then no prompt is written.
        piped = subprocess.run([MUREL, "signin"] + account, env=env, input=(PASSWORD + "\n").encode(),
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=TIMEOUT)
        piped_out = piped.stdout.decode(errors="replace")
        check(piped.returncode == 0, "signin with the password on standard input", piped_out)
        check("Password for" not in piped_out and PASSWORD not in piped_out, "no prompt and no password on a pipe",
              piped_out)
        check(("this device is " + device_id) in piped_out, "signin reuses the saved device", piped_out)

        # Staying online until Ctrl-C, as a user ends it. When the service goes away the program
        # says so and reconnects by itself once it is back.
        online = Terminal(["online"] + account, env)
        try:
            listed = online.wait_for("online: yes") and online.wait_for("devices: 1")
            check(listed, "online shows the device list", online.screen)
            mark = len(online.screen)
            control.stop()
            dropped = online.wait_for("error: Signaling disconnected; refresh to reconnect or sign in again", after=mark) \
                and online.wait_for("online: no", after=mark)
            check(dropped, "online reports the lost channel", online.screen)
            mark = len(online.screen)
            control.restart()
            back = online.wait_for("online: yes", after=mark) and online.wait_for("devices: 1", after=mark)
            check(back, "online reconnects once the service is back", online.screen)
            online.type("\x03")
            online.finish()
        finally:
            online.kill()
        check(online.status == 0, "online ends with 0 on Ctrl-C", online.screen)
        check(online.last_line() == "OK: Stopped", "online's last line", online.screen)
        account = ["--server", control.origin, "--email", EMAIL]

        # Sign out removes the saved sign-in; restoring it afterwards fails plainly.
        signout = run(["signout"] + account, env)
        check(signout.status == 0, "signout exits with 0", signout.screen)
        check(signout.last_line() == "OK: Signed out; saved credentials removed", "signout's last line",
              signout.screen)
        saved = os.listdir(credentials) if os.path.isdir(credentials) else []
        check(saved == [], "the saved sign-in file is gone", str(saved))
        restore = run(["restore"] + account, env)
        check(restore.status == 1, "restore after signout exits with 1", restore.screen)
        check(restore.last_line() == "Failed: No saved credential for this server, account and role",
              "restore after signout says why", restore.screen)

        # Ctrl-C at the password prompt ends the program and leaves the terminal as it was.
        interrupted = Terminal(["signin"] + account, env)
        try:
            shown = interrupted.wait_for("Password for ")
            check(shown, "signin prompts", interrupted.screen)
            interrupted.type("\x03")
            interrupted.finish()
        finally:
            interrupted.kill()
        check(interrupted.status == 130, "Ctrl-C at the prompt exits with 130", interrupted.screen)
        check(interrupted.last_line() == "Failed: Interrupted", "Ctrl-C at the prompt says so", interrupted.screen)

        # Signing out while the service is down still removes the saved sign-in, and says what
        # could not be done.
        again = subprocess.run([MUREL, "signin"] + account, env=env, input=(PASSWORD + "\n").encode(),
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=TIMEOUT)
        check(again.returncode == 0, "signin again", again.stdout.decode(errors="replace"))
        control.stop()
        offline = run(["signout"] + account, env)
        check(offline.status == 1, "signout with the service down exits with 1", offline.screen)
        check("status: Signed out locally" in offline.lines(), "signout with the service down is local",
              offline.screen)
        check(offline.last_line() == "Failed: Device revocation failed; its credential remains valid until expiry. "
              "Server sign-out incomplete. ", "signout's note is the last line", offline.screen)
        saved = os.listdir(credentials) if os.path.isdir(credentials) else []
        check(saved == [], "the saved sign-in is gone even so", str(saved))
    finally:
        if control is not None:
            control.stop()
        shutil.rmtree(scratch, ignore_errors=True)

    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
