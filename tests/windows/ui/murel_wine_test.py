#!/usr/bin/python3
"""Murel.exe under Wine and Xvfb against a real murel-control on loopback.

One Wine prefix is prepared for the whole run (Hangul font mapped for "Segoe UI", theme and DPI
in the registry) and shared by every step:
  1. the window tests (the interface's window procedures in-process with a scripted Controller);
  2. Murel.exe at 96 dpi, light: sign-in form, connection settings, sign-up with a too short
     password, sign-in, the account's devices as registered by the Linux `murel` (one of them
     online with the host profile), the hosting switch, then dark mode switched while running;
  3. Murel.exe at 144 dpi, dark: the saved sign-in, then light mode switched while running.
Keyboard and mouse go through xdotool; what the windows hold is read by murel_ui_probe.exe from
inside the prefix; screenshots are saved under --out and checked by their pixels.

Exit status 77 (skipped) when the Linux murel-control or murel binaries are missing.
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from PIL import Image, ImageGrab

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
EMAIL = "wine-ui@example.com"
PASSWORD = "correct horse battery"
SHORT_PASSWORD = "elevenbytes"  # 11 bytes

# Palette values (R, G, B).
LIGHT = {
    "window": (0xFA, 0xFB, 0xFD), "sidebar": (0xF1, 0xF3, 0xF7), "tint": (0xEE, 0xF4, 0xFD),
    "card": (0xFF, 0xFF, 0xFF), "input": (0xFF, 0xFF, 0xFF), "text": (0x1C, 0x20, 0x28),
    "accent": (0x00, 0x5F, 0xCC), "accent_light": (0xDB, 0xE9, 0xFD), "success": (0x18, 0x75, 0x46),
    "error": (0xB1, 0x26, 0x31),
}
DARK = {
    "window": (0x1D, 0x1E, 0x21), "sidebar": (0x24, 0x26, 0x2A), "tint": (0x22, 0x27, 0x2F),
    "card": (0x27, 0x29, 0x2E), "input": (0x22, 0x24, 0x29), "text": (0xF4, 0xF5, 0xF7),
    "accent": (0x67, 0xA6, 0xFF), "accent_light": (0x27, 0x3B, 0x58), "success": (0x68, 0xD5, 0x9B),
    "error": (0xFF, 0x8B, 0x8D),
}

SS_NOPREFIX = 0x80


class Failure(Exception):
    pass


def log(text):
    print(text, flush=True)


def wait_for(what, predicate, timeout=40.0, interval=0.25):
    """Polls predicate until it returns something true; returns that value or raises Failure."""
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        try:
            value = predicate()
        except Failure as error:
            last = error
            value = None
        if value:
            return value
        time.sleep(interval)
    raise Failure(f"timed out waiting for {what}" + (f" ({last})" if last else ""))


class Processes:
    """Every process started here, ended in reverse order (also on failure)."""

    def __init__(self):
        self.items = []

    def add(self, process, name):
        self.items.append((process, name))
        return process

    def stop_all(self):
        for process, _ in reversed(self.items):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        self.items.clear()


def start_xvfb(processes, work):
    read_fd, write_fd = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1920x1200x24", "-nolisten", "tcp"],
        pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "xvfb.log"), "w"))
    processes.add(xvfb, "Xvfb")
    os.close(write_fd)
    with os.fdopen(read_fd) as pipe:
        number = pipe.readline().strip()
    if not number:
        raise Failure("Xvfb did not report a display")
    return ":" + number


class Prefix:
    """The run's Wine prefix, with its wineserver kept alive between programs."""

    def __init__(self, path, display, logs):
        self.path = path
        self.logs = logs
        self.env = dict(os.environ, WINEPREFIX=path, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                        DISPLAY=display)

    def run(self, args, timeout=120, **kwargs):
        return subprocess.run([WINE] + args, env=self.env, timeout=timeout, **kwargs)

    def start(self, args, log_name, **kwargs):
        return subprocess.Popen([WINE] + args, env=self.env, stdout=open(os.path.join(self.logs, log_name), "w"),
                                stderr=subprocess.STDOUT, **kwargs)

    def create(self, work):
        begun = time.monotonic()
        # The run's shared prefix (scripts/test) is copied rather than used: this test changes the
        # DPI and theme and ends the prefix's server, which would disturb the tests sharing it.
        shared = os.environ.get("MUREL_WINE_PREFIX", "")
        if shared and os.path.isfile(os.path.join(shared, "system.reg")):
            subprocess.run(["cp", "-a", shared, self.path], check=True)
            # Keep the server up between programs: each start then takes a fraction of a second.
            subprocess.run([WINESERVER, "-p"], env=self.env, check=True)
        else:
            os.makedirs(self.path)
            subprocess.run([WINESERVER, "-p"], env=self.env, check=True)
            self.run(["wineboot", "--init"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.set_registry(work, dpi=96, dark=False)
        log(f"prefix ready in {time.monotonic() - begun:.1f} s")

    def set_registry(self, work, dpi, dark):
        # The Hangul font stands in for Segoe UI (and its coding face for Consolas).
        text = "\r\n".join([
            "REGEDIT4", "",
            r"[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]",
            '"Segoe UI"="NanumGothic"',
            '"Consolas"="NanumGothicCoding"', "",
            r"[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Themes\Personalize]",
            f'"AppsUseLightTheme"=dword:{0 if dark else 1:08x}', "",
            r"[HKEY_CURRENT_USER\Control Panel\Desktop]",
            f'"LogPixels"=dword:{dpi:08x}', "", ""])
        path = os.path.join(work, "settings.reg")
        with open(path, "w", encoding="ascii") as handle:
            handle.write(text)
        result = self.run(["regedit", "/S", "Z:" + path.replace("/", "\\")], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL)
        if result.returncode != 0:
            raise Failure(f"regedit failed with {result.returncode}")

    def stop(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=60)


class Probe:
    def __init__(self, prefix, exe, processes):
        self.process = processes.add(subprocess.Popen(
            [WINE, exe], env=prefix.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL, text=True, encoding="utf-8"), "probe")

    def ask(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise Failure("the probe ended")
        answer = json.loads(line)
        if "error" in answer:
            raise Failure(f"probe: {answer['error']}")
        return answer

    def window(self, class_name):
        for window in self.ask("dump")["windows"]:
            if window["class"] == class_name:
                return Window(window)
        return None

    def main(self):
        window = self.window("MurelAccount")
        if window is None:
            raise Failure("no main window")
        return window


class Window:
    def __init__(self, data):
        self.data = data
        x, y, w, h = data["client"]
        self.client = (x, y, x + w, y + h)
        self.children = data["children"]

    def size(self):
        return self.data["client"][2], self.data["client"][3]

    def child(self, control_id, parent=None):
        for child in self.children:
            if child["id"] == control_id and (parent is None or child["parent"] == parent):
                return child
        raise Failure(f"no control {control_id}")

    def visible(self, control_id):
        try:
            return self.child(control_id)["visible"]
        except Failure:
            return False

    def text(self, control_id):
        return self.child(control_id)["text"]

    def focused(self):
        for child in self.children:
            if child["focus"]:
                return child["id"]
        return None

    def host_list(self):
        for child in self.children:
            if child["class"] == "MurelHostList":
                return child
        raise Failure("no host list")

    def rows(self):
        """Device rows as (name, state, detail, button) dictionaries, top to bottom."""
        parent = self.host_list()["hwnd"]
        statics = [c for c in self.children if c["parent"] == parent and c["class"] == "Static"]
        buttons = [c for c in self.children if c["parent"] == parent and c["class"] == "Button"]
        statics.sort(key=lambda c: (c["rect"][1], c["rect"][0]))
        buttons.sort(key=lambda c: c["id"])
        rows = []
        for index, button in enumerate(buttons):
            name, state, detail = statics[3 * index:3 * index + 3]
            rows.append({"name": name, "state": state, "detail": detail, "button": button})
        return rows


def xdotool(*args):
    subprocess.run(["xdotool"] + [str(a) for a in args], check=True, env=XENV)


def click(control):
    left, top, right, bottom = control["rect"]
    xdotool("mousemove", (left + right) // 2, (top + bottom) // 2, "click", 1)


def type_text(text):
    xdotool("type", "--delay", 15, text)


def key(*names):
    xdotool("key", *names)


def grab(window, out, name, ready=None):
    """The window's client area, saved as name.png. With `ready`, grabs again until the picture
    satisfies it (a repaint may still be on its way)."""
    def take():
        return ImageGrab.grab(xdisplay=XENV["DISPLAY"]).convert("RGB").crop(window.client)
    shot = wait_for(f"{name} to be painted", lambda: s if ready(s := take()) else None) if ready else take()
    path = os.path.join(out, name + ".png")
    shot.save(path)
    log(f"screenshot {path} {shot.size[0]}x{shot.size[1]}")
    return shot


def local(window, rect):
    x0, y0 = window.client[0], window.client[1]
    return (rect[0] - x0, rect[1] - y0, rect[2] - x0, rect[3] - y0)


def colour_counts(image, box=None):
    region = image.crop(box) if box else image
    return region.getcolors(region.size[0] * region.size[1])


def count_colour(image, colour, box=None, tolerance=0):
    return sum(count for count, pixel in colour_counts(image, box)
               if all(abs(a - b) <= tolerance for a, b in zip(pixel, colour)))


def ink(image, box, background):
    """Pixels in box that stand clearly apart from the background: drawn text or lines."""
    return sum(count for count, pixel in colour_counts(image, box)
               if sum(abs(a - b) for a, b in zip(pixel, background)) > 120)


def check(condition, message):
    if not condition:
        raise Failure(message)


def check_palette(image, palette, names, minimum=50):
    for name in names:
        found = count_colour(image, palette[name])
        check(found >= minimum, f"palette colour {name} {palette[name]} appears {found} times (want >= {minimum})")


def check_unclipped(window):
    """Every visible control lies inside the client area and inside its parent."""
    left, top, right, bottom = window.client
    by_handle = {c["hwnd"]: c for c in window.children}
    for child in window.children:
        if not child["visible"]:
            continue
        x0, y0, x1, y1 = child["rect"]
        check(x1 > x0 and y1 > y0, f"control {child['id']} ({child['text']}) has no area")
        parent = by_handle.get(child["parent"])
        if parent is not None:
            if parent["class"] == "MurelHostList":
                continue  # rows scroll inside the list
            px0, py0, px1, py1 = parent["rect"]
        else:
            px0, py0, px1, py1 = left, top, right, bottom
        check(x0 >= px0 and y0 >= py0 and x1 <= px1 and y1 <= py1,
              f"control {child['id']} ({child['text']!r}) at {child['rect']} is clipped by {(px0, py0, px1, py1)}")


def check_text_drawn(image, window, control_ids, background, minimum=15):
    for control_id in control_ids:
        box = local(window, window.child(control_id)["rect"])
        drawn = ink(image, box, background)
        check(drawn >= minimum, f"control {control_id} shows no text ({drawn} pixels of ink)")


def start_control(processes, binary, work):
    data = os.path.join(work, "control")
    service = processes.add(subprocess.Popen(
        [binary, "--listen", "127.0.0.1:0", "--data", data, "--test-fast-hashes"], stdout=subprocess.PIPE,
        stderr=open(os.path.join(work, "control.log"), "w"), text=True), "murel-control")
    line = service.stdout.readline().strip()
    if not line.startswith("listening on 127.0.0.1:"):
        raise Failure(f"murel-control did not start: {line!r}")
    return "http://" + line[len("listening on "):]


def linux_murel(binary, home, *args, password=None):
    env = dict(os.environ, HOME=home, XDG_DATA_HOME=os.path.join(home, "data"))
    result = subprocess.run([binary] + list(args), input=(password + "\n") if password else "", text=True,
                            capture_output=True, env=env, timeout=60)
    if result.returncode != 0:
        raise Failure(f"murel {' '.join(args)} failed: {result.stdout} {result.stderr}")
    return result.stdout


def register_devices(processes, binary, origin, work):
    """The account and two Linux devices: one online with the host profile, one offline."""
    home = os.path.join(work, "linux-home")
    os.makedirs(home)
    linux_murel(binary, home, "signup", "--server", origin, "--email", EMAIL, "--host", "--name", "Studio & Co",
                password=PASSWORD)
    linux_murel(binary, home, "signin", "--server", origin, "--email", EMAIL, "--client", "--name", "Laptop",
                password=PASSWORD)
    env = dict(os.environ, HOME=home, XDG_DATA_HOME=os.path.join(home, "data"))
    online = processes.add(subprocess.Popen(
        [binary, "online", "--server", origin, "--email", EMAIL, "--host"], env=env, stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True), "murel online")
    wait_for("the Linux host to go online", lambda: "online: yes" in (online.stdout.readline() or ""), 60)


def start_murel(prefix, exe, processes, name):
    process = processes.add(prefix.start([exe], name + ".log"), "Murel.exe")
    return process


def fill(probe, control_id, text):
    click(probe.main().child(control_id))
    key("ctrl+a")
    type_text(text)


def close_main(probe, process):
    main = probe.main()
    click(main.child(112))  # focus the window without pressing anything
    key("alt+F4")
    wait_for("Murel.exe to exit", lambda: process.poll() is not None, 60)
    check(process.returncode == 0, f"Murel.exe exited with {process.returncode}")


def scenario_light(prefix, probe, exe, processes, origin, out):
    log("== 96 dpi, light")
    process = start_murel(prefix, exe, processes, "murel-96")
    main = wait_for("the main window", lambda: probe.window("MurelAccount"))
    check(main.size() == (1120, 740), f"main client at 96 dpi is {main.size()}")
    main = wait_for("the e-mail field to have the focus", lambda: (m := probe.main()).focused() == 102 and m)
    shot = grab(main, out, "signin-light-96", lambda shot: count_colour(shot, LIGHT["accent"]) > 1000)
    check_palette(shot, LIGHT, ["window", "tint", "accent", "input"])
    check_unclipped(main)
    check_text_drawn(shot, main, [115, 116, 119, 120], LIGHT["window"])
    # The empty password field shows its cue banner: common controls 6 are in use.
    check(ink(shot, local(main, main.child(103)["rect"]), LIGHT["input"]) > 20, "no cue banner in the password field")
    # The title, the hero text and the logo are painted by the window itself.
    check(ink(shot, (720, 130, 1080, 170), LIGHT["window"]) > 200, "no form title")
    check(ink(shot, (48, 258, 428, 402), LIGHT["tint"]) > 800, "no hero title")
    check(count_colour(shot, LIGHT["text"]) > 100, "no text in the text colour")

    # Connection settings: the loopback service, then back to the form (Enter presses 완료).
    click(main.child(113))
    wait_for("the settings form", lambda: probe.main().visible(101))
    fill(probe, 101, origin)
    key("Return")
    main = wait_for("the sign-in form again", lambda: (m := probe.main()).visible(102) and m)
    check(main.text(120) == origin, f"the origin caption reads {main.text(120)!r}")

    # Sign-up with an 11-byte password is refused before anything is sent.
    click(main.child(107))
    fill(probe, 102, EMAIL)
    key("Tab")
    type_text(SHORT_PASSWORD)
    key("Return")
    main = wait_for("the password length message",
                    lambda: (m := probe.main()).text(112) == "비밀번호는 12–72바이트로 입력해 주세요." and m)
    check(main.focused() == 103, f"focus is on {main.focused()}, not the password")
    line = local(main, main.child(112)["rect"])
    grab(main, out, "signup-error-light-96", lambda shot: count_colour(shot, LIGHT["error"], line, tolerance=8) > 20)

    # Back to sign-in with the right password; the same form posts SignIn.
    click(main.child(107))
    fill(probe, 103, PASSWORD)
    key("Return")
    main = wait_for("the signed-in shell", lambda: (m := probe.main()).visible(121) and m, 60)
    main = wait_for("three device rows", lambda: len((m := probe.main()).rows()) == 3 and m, 30)
    main = wait_for("the hosting switch to be enabled", lambda: (m := probe.main()).child(111)["enabled"] and m, 30)
    rows = {row["name"]["text"]: row for row in main.rows()}
    check(set(rows) == {"Studio & Co", "Laptop", "Windows PC"}, f"rows are {sorted(rows)}")
    studio = rows["Studio & Co"]
    check(studio["name"]["style"] & SS_NOPREFIX, "the device name would lose its '&'")
    check(studio["state"]["text"] == "호스트 꺼짐", f"Studio state {studio['state']['text']!r}")
    check(studio["button"]["text"] == "Studio & Co에 연결", f"button text {studio['button']['text']!r}")
    check(not studio["button"]["enabled"], "a host that is not ready can be connected to")
    check(rows["Laptop"]["state"]["text"] == "오프라인", f"Laptop state {rows['Laptop']['state']['text']!r}")
    check(rows["Laptop"]["detail"]["text"] == "", "an offline device shows a detail line")
    this_pc = rows["Windows PC"]
    check(this_pc["state"]["text"] == "호스트 꺼짐 · Windows · 이 기기", f"this PC {this_pc['state']['text']!r}")
    check(not this_pc["button"]["enabled"], "this PC can be connected to")
    check(main.text(123) == EMAIL, f"account line {main.text(123)!r}")
    check(main.text(112) == "같은 계정의 기기에 연결하세요.", f"line 112 {main.text(112)!r}")
    shot = grab(main, out, "devices-light-96", lambda shot: count_colour(shot, LIGHT["success"]) > 10)
    check_palette(shot, LIGHT, ["window", "sidebar", "card", "accent_light", "accent"])
    check_unclipped(main)
    check_text_drawn(shot, main, [121, 122, 123], LIGHT["card"], minimum=10)

    # Turning hosting on: what this build's Controller answers is shown on the message line.
    click(main.child(111))
    main = wait_for("the hosting answer", lambda: (m := probe.main()).text(112) != "같은 계정의 기기에 연결하세요." and m)
    log(f"hosting answer: {main.text(112)!r}")
    line = local(main, main.child(112)["rect"])
    grab(main, out, "hosting-light-96", lambda shot: count_colour(shot, LIGHT["error"], line, tolerance=8) > 20)

    # Dark mode while running: the next settings change recolours everything.
    probe.ask("theme dark")
    main = probe.main()
    shot = grab(main, out, "devices-dark-96", lambda shot: count_colour(shot, LIGHT["window"]) < 50)
    check_palette(shot, DARK, ["window", "sidebar", "card", "accent_light"])
    check(count_colour(shot, LIGHT["window"]) < 50, "light window colour left after switching to dark")
    check(count_colour(shot, DARK["success"], tolerance=4) > 10, "the online chip is not in the dark success colour")
    check_text_drawn(shot, main, [121, 123], DARK["card"], minimum=10)

    close_main(probe, process)


def scenario_dark(prefix, probe, exe, processes, origin, out, work):
    log("== 144 dpi, dark")
    prefix.set_registry(work, dpi=144, dark=True)
    process = start_murel(prefix, exe, processes, "murel-144")
    main = wait_for("the main window", lambda: probe.window("MurelAccount"))
    check(main.size() == (1680, 1110), f"main client at 144 dpi is {main.size()} (not DPI-aware?)")
    main = wait_for("the e-mail field to have the focus", lambda: (m := probe.main()).focused() == 102 and m)
    shot = grab(main, out, "signin-dark-144", lambda shot: count_colour(shot, DARK["accent"]) > 1000)
    check_palette(shot, DARK, ["window", "tint", "accent", "input"])
    check(count_colour(shot, LIGHT["window"]) < 50, "light colours in the dark theme")
    check_unclipped(main)
    check_text_drawn(shot, main, [115, 116, 119, 120], DARK["window"])
    submit = main.child(106)["rect"]
    check((submit[2] - submit[0], submit[3] - submit[1]) == (540, 63), f"sign-in button at 144 dpi is {submit}")

    # The saved sign-in needs the e-mail only.
    click(main.child(113))
    wait_for("the settings form", lambda: probe.main().visible(101))
    fill(probe, 101, origin)
    key("Return")
    wait_for("the sign-in form again", lambda: probe.main().visible(102))
    fill(probe, 102, EMAIL)
    click(probe.main().child(108))
    main = wait_for("the signed-in shell", lambda: (m := probe.main()).visible(121) and m, 60)
    main = wait_for("three device rows", lambda: len((m := probe.main()).rows()) == 3 and m, 30)
    main = wait_for("online", lambda: (m := probe.main()).child(111)["enabled"] and m, 30)
    shot = grab(main, out, "devices-dark-144", lambda shot: count_colour(shot, DARK["success"], tolerance=4) > 10)
    check_palette(shot, DARK, ["window", "sidebar", "card", "accent_light"])
    check_unclipped(main)
    refresh = main.child(110)["rect"]
    check((refresh[2] - refresh[0], refresh[3] - refresh[1]) == (144, 54), f"refresh button at 144 dpi is {refresh}")

    probe.ask("theme light")
    main = probe.main()
    shot = grab(main, out, "devices-light-144", lambda shot: count_colour(shot, DARK["window"]) < 50)
    check_palette(shot, LIGHT, ["window", "sidebar", "card", "accent_light"])
    check(count_colour(shot, DARK["window"]) < 50, "dark window colour left after switching to light")

    close_main(probe, process)


XENV = {}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--murel-exe", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--window-tests")
    parser.add_argument("--control", required=True)
    parser.add_argument("--murel", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    for binary in (args.control, args.murel):
        if not os.access(binary, os.X_OK):
            print(f"{binary} is not built (build the linux preset first); skipping", file=sys.stderr)
            return 77

    begun = time.monotonic()
    os.makedirs(args.out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="murel-ui-wine.")
    processes = Processes()
    prefix = None
    try:
        display = start_xvfb(processes, work)
        XENV.update(os.environ, DISPLAY=display)
        prefix = Prefix(os.path.join(work, "prefix"), display, args.out)
        prefix.create(work)
        probe = Probe(prefix, args.probe, processes)
        glyphs = probe.ask("glyphs 이메일비밀번호로그인")
        check(glyphs["missing"] == 0, f"'Segoe UI' has no Hangul in this prefix: {glyphs}")
        manifest = probe.ask("manifest Z:" + os.path.abspath(args.murel_exe).replace("/", "\\"))["manifest"]
        check("PerMonitorV2" in manifest and "Microsoft.Windows.Common-Controls" in manifest
              and 'version="6.0.0.0"' in manifest, f"Murel.exe's manifest: {manifest!r}")

        if args.window_tests:
            log("== window tests")
            begun_tests = time.monotonic()
            result = prefix.run([args.window_tests], timeout=600)
            check(result.returncode == 0, f"window tests failed ({result.returncode})")
            log(f"window tests passed in {time.monotonic() - begun_tests:.1f} s")

        origin = start_control(processes, args.control, work)
        register_devices(processes, args.murel, origin, work)
        scenario_light(prefix, probe, args.murel_exe, processes, origin, args.out)
        scenario_dark(prefix, probe, args.murel_exe, processes, origin, args.out, work)
        log(f"passed in {time.monotonic() - begun:.1f} s")
        return 0
    except (Failure, subprocess.SubprocessError, OSError) as error:
        log(f"FAILED: {error}")
        return 1
    finally:
        # The prefix's programs first (the probe and Murel.exe), then the service, murel and Xvfb.
        if prefix is not None:
            prefix.stop()
        processes.stop_all()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
