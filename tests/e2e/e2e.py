#!/usr/bin/env python3
"""Drives the real updater on an X display against the ktrq7-sim process.

Usage: e2e.py SCENARIO --app PATH --sim PATH --out DIR [--keep] [--keep-x11-loaded]

Each run gets a folder of its own holding a link to the program (the program
looks for its update file beside the path it was started by), the update file,
HOME, the preferences and the simulator's socket, reports and image. What a
screen shows is read from the pixels of a screenshot: the buttons' outline, the
progress bar's dark ground, the warning icon's yellow, the language list's white.
"""

import argparse
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
TEXTS = os.path.join(HERE, "..", "..", "App", "Binary")

# (code, text file) in the order of the language list.
LANGUAGES = [
    ("en", "english"),
    ("fr", "french"),
    ("de", "german"),
    ("es", "spanish"),
    ("it", "italian"),
    ("nl", "dutch"),
    ("ru", "russian"),
    ("pt", "portuguese"),
    ("zh-Hans", "simplified_chinese"),
    ("zh-Hant", "traditional_chinese"),
    ("ko", "korean"),
    ("ja", "japanese"),
]

OUTLINE = (0x89, 0x89, 0x89)
BAR_GROUND = (8, 8, 8)
WHITE = (255, 255, 255)
REPORT = 1024
PAYLOAD = 1022

# Generous: the sanitizer builds start and end several times slower.
WINDOW_TIMEOUT = 30
SCREEN_TIMEOUT = 10
EXIT_TIMEOUT = 15
SETTLE = 0.3


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def log(message):
    print(message, flush=True)


def wait_until(predicate, timeout, what, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Failure("timed out after %gs waiting for %s" % (timeout, what))
        time.sleep(interval)


def tool(args, timeout=20, check_rc=True):
    try:
        result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    except FileNotFoundError:
        raise Failure("%s is not installed (scripts/setup installs it)" % args[0])
    except subprocess.TimeoutExpired:
        raise Failure("%s did not finish within %gs" % (" ".join(args), timeout))
    if check_rc and result.returncode != 0:
        error = result.stderr.decode(errors="replace")
        raise Failure("%s failed (%d): %s" % (" ".join(args), result.returncode, error))
    return result.stdout


def title_of(file_stem):
    """Text 3 of a language: the fourth string of its ":STR" section."""
    with open(os.path.join(TEXTS, file_stem + ".txt"), encoding="utf-8-sig") as f:
        lines = f.read().splitlines()
    strings, inside = [], False
    for line in lines:
        line = line.strip()
        if line.startswith(":"):
            inside = line == ":STR"
            continue
        if inside and line.startswith('"') and line.endswith('"') and len(line) >= 2:
            strings.append(line[1:-1])
    check(len(strings) > 3, "no text 3 in %s.txt" % file_stem)
    return strings[3]


# ---------------------------------------------------------------------------------------------------------------
# Pictures


class Picture:
    def __init__(self, width, height, rgb):
        self.width, self.height, self.rgb = width, height, rgb

    @staticmethod
    def from_ppm(data):
        fields, i = [], 0
        while len(fields) < 4:
            while data[i : i + 1].isspace():
                i += 1
            if data[i : i + 1] == b"#":
                i = data.index(b"\n", i)
                continue
            j = i
            while not data[j : j + 1].isspace():
                j += 1
            fields.append(data[i:j])
            i = j
        check(fields[0] == b"P6" and fields[3] == b"255", "unexpected screenshot format %r" % fields)
        width, height = int(fields[1]), int(fields[2])
        rgb = data[i + 1 : i + 1 + width * height * 3]
        check(len(rgb) == width * height * 3, "short screenshot")
        return Picture(width, height, rgb)

    def at(self, x, y):
        o = (y * self.width + x) * 3
        return (self.rgb[o], self.rgb[o + 1], self.rgb[o + 2])

    def row(self, y, x0, x1):
        return [self.at(x, y) for x in range(max(0, x0), min(self.width, x1))]

    def save_png(self, path):
        stride = self.width * 3
        raw = b"".join(b"\x00" + self.rgb[y * stride : (y + 1) * stride] for y in range(self.height))

        def chunk(kind, body):
            return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

        with open(path, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n")
            f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)))
            f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
            f.write(chunk(b"IEND", b""))


def runs(values, wanted, minimum):
    """(start, end) of each run of `wanted` at least `minimum` long."""
    found, start = [], None
    for i, v in enumerate(values + [None]):
        if v == wanted and start is None:
            start = i
        elif v != wanted and start is not None:
            if i - start >= minimum:
                found.append((start, i))
            start = None
    return found


class Screen:
    """What a screenshot of the main window shows."""

    def __init__(self, picture):
        p = self.picture = picture
        w, h = p.width, p.height
        # The straight part of a button's top outline; its rounded ends are drawn smoothed.
        self.buttons = []
        for start, end in runs(p.row(h - 40, 0, w), OUTLINE, 40):
            centre = (start + end) / 2
            if abs(centre - (w - 70)) <= 15:
                self.buttons.append("right")
            elif abs(centre - (w - 180)) <= 15:
                self.buttons.append("left")
            else:
                self.buttons.append("at %g" % centre)
        yellow = 0
        for y in range(15, 80):
            for r, g, b in p.row(y, 20, 85):
                yellow += r > 180 and g > 150 and b < 130
        self.icon = yellow > 300
        top = (h - 20) // 2
        inner = w - 40
        self.bar = sum(c == BAR_GROUND for c in p.row(top, 20, w - 20)) >= 0.9 * inner
        # The filled part starts two pixels in from the bar's edges; the percentage drawn across the middle
        # leaves the rows near its top alone.
        fill = p.row(top + 3, 22, w - 22)
        self.progress = sum(c != BAR_GROUND for c in fill) / max(1, len(fill)) if self.bar else None
        self.list = sum(c == WHITE for c in p.row(top + 10, 20, w - 20)) >= 0.5 * inner

    @property
    def kind(self):
        two = sorted(self.buttons) == ["left", "right"]
        one = self.buttons == ["right"]
        if self.list and two and not self.icon and not self.bar:
            return "language"
        if self.bar and not self.buttons and not self.list:
            return "updating"
        if self.list or self.bar:
            return "unknown"
        if two and not self.icon:
            return "ready"
        if one and self.icon:
            return "warning"  # file error, not connected or update error
        if one and not self.icon:
            return "complete"
        return "unknown"

    def __str__(self):
        return "%s (buttons %s, icon %s, bar %s, list %s)" % (self.kind, self.buttons, self.icon, self.bar, self.list)


# ---------------------------------------------------------------------------------------------------------------
# Processes


class Simulator:
    def __init__(self, path, folder, env, args):
        self.lines = []
        self.cond = threading.Condition()
        self.stderr_path = os.path.join(folder, "sim.err")
        self.reports = os.path.join(folder, "reports.bin")
        self.image = os.path.join(folder, "image.bin")
        self.socket = os.path.join(folder, "sim.sock")
        cmd = [path, "--socket", self.socket, "--reports", self.reports, "--image", self.image] + list(args)
        with open(self.stderr_path, "wb") as err:
            self.process = subprocess.Popen(
                cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err, env=env, cwd=folder
            )
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.process.stdout:
            line = raw.decode(errors="replace").rstrip("\n")
            with self.cond:
                self.lines.append((time.monotonic(), line))
                self.cond.notify_all()

    def wait_line(self, pattern, timeout, after=0):
        """The first status line from index `after` on that matches; returns its index."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(after, len(self.lines)):
                    if regex.match(self.lines[i][1]):
                        return i
                left = deadline - time.monotonic()
                if left <= 0 or (self.process.poll() is not None and not self.reader.is_alive()):
                    raise Failure("simulator never said /%s/" % pattern)
                self.cond.wait(min(left, 0.2))

    def said(self, pattern):
        regex = re.compile(pattern)
        with self.cond:
            return [i for i, (_, line) in enumerate(self.lines) if regex.match(line)]

    def mark(self):
        with self.cond:
            return len(self.lines)

    def command(self, line):
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()

    def output(self):
        with self.cond:
            out = "\n".join(line for _, line in self.lines)
        return out, read_text(self.stderr_path)


def read_text(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode(errors="replace")
    except OSError:
        return ""


class App:
    def __init__(self, link, folder, env, tag):
        self.out_path = os.path.join(folder, "%s.out" % tag)
        self.err_path = os.path.join(folder, "%s.err" % tag)
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.process = subprocess.Popen([link], stdout=out, stderr=err, env=env, cwd=folder)
        self.window = None
        self.x = self.y = self.width = self.height = 0

    def find_window(self, title):
        # --sync waits for the window; the time-out keeps a program that never shows one from hanging the test.
        pattern = "^%s$" % re.escape(title)
        try:
            out = tool(
                ["xdotool", "search", "--sync", "--onlyvisible", "--all", "--pid", str(self.process.pid), "--name",
                 pattern],
                timeout=WINDOW_TIMEOUT,
            )
        except Failure:
            raise Failure("no window titled %r appeared (program %s)" % (title, self.state()))
        self.window = out.split()[0].decode()
        geometry = tool(["xdotool", "getwindowgeometry", "--shell", self.window]).decode()
        values = dict(line.split("=", 1) for line in geometry.split() if "=" in line)
        self.x, self.y = int(values["X"]), int(values["Y"])
        self.width, self.height = int(values["WIDTH"]), int(values["HEIGHT"])
        return self.window

    def state(self):
        rc = self.process.poll()
        return "running" if rc is None else "exited with %d" % rc

    def title(self):
        return tool(["xdotool", "getwindowname", self.window]).decode("utf-8", errors="replace").rstrip("\n")

    def grab(self, window=None):
        data = tool(["import", "-silent", "-window", window or self.window, "-depth", "8", "ppm:-"])
        return Picture.from_ppm(data)

    def screen(self):
        return Screen(self.grab())

    def click(self, x, y, window=None):
        tool(["xdotool", "mousemove", "--window", window or self.window, str(x), str(y), "click", "1"])

    # The two button places, measured from the window's lower right corner.
    def right(self):
        return self.width - 70, self.height - 30

    def left(self):
        return self.width - 180, self.height - 30

    def click_right(self):
        self.click(*self.right())

    def click_left(self):
        self.click(*self.left())

    def wait_screen(self, kind, timeout=SCREEN_TIMEOUT):
        last = [None]

        def shows():
            if self.process.poll() is not None:
                raise Failure("program %s while waiting for the %s screen" % (self.state(), kind))
            last[0] = self.screen()
            return last[0] if last[0].kind == kind else None

        try:
            return wait_until(shows, timeout, "the %s screen" % kind)
        except Failure as e:
            raise Failure("%s; last seen: %s" % (e, last[0]))

    def wait_exit(self, timeout=EXIT_TIMEOUT):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("program still running %gs after it was told to quit" % timeout)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(3)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def output(self):
        return read_text(self.out_path), read_text(self.err_path)


class Run:
    """One scenario's folder, processes and clean-up."""

    def __init__(self, options, name):
        self.options = options
        self.name = name
        self.folder = tempfile.mkdtemp(prefix="ktrq7-e2e-%s-" % name)
        self.link = os.path.join(self.folder, "KTR-Q7UpdateProgram")
        os.symlink(os.path.abspath(options.app), self.link)
        home = os.path.join(self.folder, "home")
        os.makedirs(os.path.join(home, ".config"))
        env = dict(os.environ)
        for name_ in ("LC_ALL", "LC_MESSAGES"):
            env.pop(name_, None)
        env.update(
            HOME=home,
            XDG_CONFIG_HOME=os.path.join(home, ".config"),
            LANGUAGE="en",
            LANG="en",
            KTRQ7_SIM_SOCKET=os.path.join(self.folder, "sim.sock"),
        )
        if options.keep_x11_loaded:
            # The framework loads libX11 itself and unloads it at exit, before LeakSanitizer looks: what the
            # library's globals still point to would be reported as leaked. Preloaded, it stays mapped.
            env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD", ""), "libX11.so.6"]))
        self.env = env
        self.sim = None
        self.apps = []
        self.others = []

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        failed = kind is not None
        if failed:
            self.failure_shot()
        for app in self.apps:
            app.stop()
        for process in self.others:
            if process.poll() is None:
                process.kill()
                process.wait()
        if self.sim is not None and self.sim.process.poll() is None:
            self.sim.process.terminate()
            try:
                self.sim.process.wait(3)
            except subprocess.TimeoutExpired:
                self.sim.process.kill()
                self.sim.process.wait()
        reported = self.sanitizer_reports()
        if failed or reported:
            self.dump()
        if self.options.keep:
            log("kept %s" % self.folder)
        else:
            shutil.rmtree(self.folder, ignore_errors=True)
        if reported and not failed:
            raise Failure("sanitizer report in the output above")
        return False

    def sanitizer_reports(self):
        texts = [app.output()[1] for app in self.apps]
        if self.sim is not None:
            texts.append(self.sim.output()[1])
        return any(re.search(r"Sanitizer|runtime error:", text) for text in texts)

    def failure_shot(self):
        # The whole screen too: a window that something covers grabs as black.
        try:
            os.makedirs(self.options.out, exist_ok=True)
            Picture.from_ppm(tool(["import", "-silent", "-window", "root", "-depth", "8", "ppm:-"])).save_png(
                os.path.join(self.options.out, "%s_failure_screen.png" % self.name))
        except Failure:
            pass
        for app in self.apps:
            if app.window is not None and app.process.poll() is None:
                try:
                    self.shot(app, "%s_failure.png" % self.name)
                except Failure:
                    pass

    def dump(self):
        def cut(text, head=20, tail=40):
            lines = text.splitlines()
            if len(lines) <= head + tail:
                return text
            return "\n".join(lines[:head] + ["... %d lines ..." % (len(lines) - head - tail)] + lines[-tail:])

        for i, app in enumerate(self.apps):
            out, err = app.output()
            log("---- program %d (%s) stdout ----\n%s" % (i + 1, app.state(), out))
            log("---- program %d stderr ----\n%s" % (i + 1, err))
        if self.sim is not None:
            out, err = self.sim.output()
            rc = self.sim.process.poll()
            log("---- simulator (exit %s) stdout ----\n%s" % (rc, cut(out)))
            log("---- simulator stderr ----\n%s" % err)

    def write_update(self, size, tag=b"TL382", version=b"107", name="ktrq7_v107.upd"):
        data = bytearray(os.urandom(size))
        data[0:5] = tag
        data[20:23] = version
        path = os.path.join(self.folder, name)
        with open(path, "wb") as f:
            f.write(data)
        return bytes(data)

    def start_sim(self, *args):
        self.sim = Simulator(self.options.sim, self.folder, self.env, args)
        self.sim.wait_line(r"listening ", 10)
        return self.sim

    def start_app(self, title="Updater Program", tag="app"):
        app = App(self.link, self.folder, self.env, tag)
        self.apps.append(app)
        if title is not None:
            app.find_window(title)
        return app

    def shot(self, app, name, picture=None):
        os.makedirs(self.options.out, exist_ok=True)
        path = os.path.join(self.options.out, name)
        (picture or app.grab()).save_png(path)
        log("saved %s" % path)

    def connected(self):
        self.sim.wait_line(r"connected$", WINDOW_TIMEOUT)


def settle():
    time.sleep(SETTLE)


def read_reports(path):
    with open(path, "rb") as f:
        data = f.read()
    check(len(data) % REPORT == 0, "reports file of %d bytes is not whole records" % len(data))
    return [data[i : i + REPORT] for i in range(0, len(data), REPORT)]


# ---------------------------------------------------------------------------------------------------------------
# Scenarios


def list_items(picture):
    """(top, bottom) of each item of an open language list, from its rows of ink; the highlighted item is a band
    of dark rows, so it counts as one. Also gives the index of the highlighted item."""
    ink = []
    # Inside the pop-up's one-pixel frame.
    for y in range(1, picture.height - 1):
        row = picture.row(y, 4, picture.width - 4)
        dark = sum(sum(c) < 384 for c in row)
        ink.append((y, dark > 0, dark >= 0.8 * len(row)))
    items, highlighted = [], None
    for y, inked, band in ink:
        # Rows a few pixels apart belong to one line of text (accents, the dots of i and j).
        if inked and items and y - items[-1][1] <= 3:
            items[-1][1] = y
            items[-1][2] |= band
        elif inked:
            items.append([y, y, band])
    for i, (_, _, band) in enumerate(items):
        if band:
            highlighted = i
    return [(top, bottom) for top, bottom, _ in items], highlighted


def pick_language(app, index):
    w, h = app.width, app.height
    app.click(w // 2, (h - 20) // 2 + 10)
    pid = str(app.process.pid)
    out = tool(
        ["xdotool", "search", "--sync", "--onlyvisible", "--all", "--pid", pid, "--name", "^menu$"],
        timeout=SCREEN_TIMEOUT,
    )
    popup = out.split()[0].decode()
    settle()
    picture = app.grab(popup)
    items, _ = list_items(picture)
    check(len(items) == len(LANGUAGES), "the language list shows %d items, not %d" % (len(items), len(LANGUAGES)))
    x, y = picture.width // 2, sum(items[index]) // 2
    # The menu highlights the item under the pointer: that it is the wanted one proves the item's place.
    tool(["xdotool", "mousemove", "--window", popup, str(x), str(y)])
    wait_until(lambda: list_items(app.grab(popup))[1] == index, SCREEN_TIMEOUT,
               "item %d of the language list to be highlighted" % index)
    app.click(x, y, window=popup)

    def closed():
        return not tool(["xdotool", "search", "--onlyvisible", "--all", "--pid", pid, "--name", "^menu$"],
                        check_rc=False).split()

    wait_until(closed, SCREEN_TIMEOUT, "the language list to close")


def scenario_languages(options):
    with Run(options, "languages") as run:
        run.start_sim()
        app = run.start_app()
        check(app.screen().kind == "language", "the language screen should show first: %s" % app.screen())
        # Every language but the first, then back to the first, so that each pick is a change.
        for index in list(range(1, len(LANGUAGES))) + [0]:
            code, stem = LANGUAGES[index]
            expected = title_of(stem)
            pick_language(app, index)
            try:
                wait_until(lambda: app.title() == expected, SCREEN_TIMEOUT, "the title %r" % expected)
            except Failure as e:
                raise Failure("after picking %s: %s; the title is %r" % (code, e, app.title()))
            settle()
            picture = app.grab()
            screen = Screen(picture)
            check(screen.kind == "language", "after picking %s: %s" % (code, screen))
            run.shot(app, "lang_%s.png" % code, picture)
        app.click_left()
        check(app.wait_exit() == 0, "Cancel should end the program with 0")


def update_data(report):
    return report[2 : 2 + PAYLOAD]


def check_reports(path, data):
    records = read_reports(path)
    chunks = math.ceil(len(data) / PAYLOAD)
    commands = [r[0] for r in records]
    expected = [0xF0, 0xF1] + [0xF3] * chunks + [0xF2] * 4
    check(commands == expected,
          "reports: %d records, commands %s...%s; expected 1 start, 1 open, %d data, 4 finish"
          % (len(records), [hex(c) for c in commands[:4]], [hex(c) for c in commands[-6:]], chunks))
    start = records[0]
    check(start[5] | start[6] << 8 | start[7] << 16 == len(data), "the start request announces the wrong length")
    # Each chunk carries its part of the file; the tail of a short last chunk is zeros.
    for k in range(chunks):
        part = data[k * PAYLOAD : (k + 1) * PAYLOAD]
        sent = update_data(records[2 + k])
        check(sent == part + bytes(PAYLOAD - len(part)), "data chunk %d differs from the file" % k)


def scenario_update(options, size):
    with Run(options, "update_%d" % size) as run:
        data = run.write_update(size)
        sim = run.start_sim("--release", "0x0105", "--exit-after-finish")
        app = run.start_app()
        run.connected()
        app.click_right()
        app.wait_screen("ready")
        keep = size == 74565
        if keep:
            settle()
            run.shot(app, "ready.png")
        app.click_right()
        # A 3 MiB transfer takes seconds here, many more in a sanitizer build.
        sim.wait_line(r"finished crc=", 240)
        check(sim.said(r"finished crc=ok$"), "the simulator found the image's CRC wrong")
        try:
            rc = sim.process.wait(EXIT_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise Failure("the simulator did not exit after the finish")
        check(rc == 0, "the simulator exited with %d" % rc)
        app.wait_screen("complete")
        # The simulator leaving after the finish must not change the final screen.
        settle()
        check(app.screen().kind == "complete", "the complete screen changed when the device left")
        if keep:
            run.shot(app, "complete.png")
        with open(sim.image, "rb") as f:
            image = f.read()
        check(image == data, "the device's image (%d bytes) differs from the update file (%d bytes)"
              % (len(image), len(data)))
        check_reports(sim.reports, data)
        app.click_right()
        check(app.wait_exit() == 0, "OK on the complete screen should end the program with 0")


def scenario_progress(options):
    size = 3 * 1024 * 1024
    chunk = 1500
    with Run(options, "progress_screenshot") as run:
        data = run.write_update(size)
        sim = run.start_sim("--release", "0x0105", "--exit-after-finish", "--fault", "chunk=%d,delay=3000" % chunk)
        app = run.start_app()
        run.connected()
        app.click_right()
        app.wait_screen("ready")
        app.click_right()
        # Reports 0 and 1 are the start and open requests; data chunk k is report k + 2.
        sim.wait_line(r"report f3 %d$" % (chunk + 2), 240)
        # The bar moves towards a new value at a limited speed; it has arrived when it stops moving.
        seen = []

        def still():
            seen.append(Screen(app.grab()))
            time.sleep(0.2)
            return len(seen) >= 2 and seen[-1].picture.rgb == seen[-2].picture.rgb

        wait_until(still, 2.5, "the progress bar to settle", interval=0)
        screen = seen[-1]
        picture = screen.picture
        check(screen.kind == "updating", "while a chunk waits for its reply: %s" % screen)
        expected = chunk / math.ceil(size / PAYLOAD)
        check(abs(screen.progress - expected) < 0.02,
              "the bar shows %.3f done with %.3f of the chunks sent" % (screen.progress, expected))
        run.shot(app, "progress.png", picture)
        sim.wait_line(r"finished crc=ok$", 240)
        app.wait_screen("complete")
        with open(sim.image, "rb") as f:
            check(f.read() == data, "the device's image differs from the update file")
        app.click_right()
        check(app.wait_exit() == 0, "OK on the complete screen should end the program with 0")


def scenario_close_after_start(options):
    with Run(options, "close_after_start") as run:
        data = run.write_update(300000)
        sim = run.start_sim("--release", "0x0105", "--exit-after-finish")
        app = run.start_app()
        run.connected()
        app.click_right()
        app.wait_screen("ready")
        (sx, sy), (cx, cy) = app.right(), app.left()
        # Both clicks in one command, presses and releases without the pause that "click" makes: Close is
        # hit if it still shows.
        tool(["xdotool", "mousemove", "--window", app.window, str(sx), str(sy), "mousedown", "1", "mouseup", "1",
              "mousemove", "--window", app.window, str(cx), str(cy), "mousedown", "1", "mouseup", "1"])
        # Either Close was hit and the program ends, or Close was hidden already and the transfer goes on.
        wait_until(lambda: app.process.poll() is not None or sim.said(r"finished"), 60,
                   "the program to end or the transfer to finish")
        rc = app.process.poll()
        if rc is not None:
            check(rc == 0, "Close right after Start should end the program with 0, not %d" % rc)
            check(not sim.said(r"finished"), "the transfer cannot have finished when Close ended it")
            log("Close was hit: the program ended with 0 after %d reports" % len(sim.said(r"report ")))
            return
        log("Close was hidden before the click reached it: the transfer ran to its end")
        check(sim.said(r"finished crc=ok$"), "the simulator found the image's CRC wrong")
        app.wait_screen("complete")
        with open(sim.image, "rb") as f:
            check(f.read() == data, "the device's image differs from the update file")
        app.click_right()
        check(app.wait_exit() == 0, "OK on the complete screen should end the program with 0")


def scenario_unplug_replug(options):
    chunk = 20
    with Run(options, "unplug_replug_during_data") as run:
        run.write_update(100000)
        sim = run.start_sim("--release", "0x0105", "--fault", "chunk=%d,unplug=instead,rearrive=300" % chunk)
        app = run.start_app()
        run.connected()
        app.click_right()
        app.wait_screen("ready")
        app.click_right()
        gone = sim.wait_line(r"unplugged$", 30)
        back = sim.wait_line(r"plugged$", 10, after=gone + 1)
        app.wait_screen("warning", 5)
        # The device's return after the failure must leave the final screen alone.
        settle()
        picture = app.grab()
        check(Screen(picture).kind == "warning", "the error screen changed when the device came back")
        run.shot(app, "error.png", picture)
        check(not sim.said(r"finished"), "the transfer cannot finish without the chunk's reply")
        # A finish request reaches only a device that is there: none may be logged while it was away.
        finishes = sim.said(r"report f2 ")
        check(all(i > back for i in finishes), "a finish request was logged while the device was away")
        commands = [r[0] for r in read_reports(sim.reports)]
        check(commands[: 2 + chunk + 1] == [0xF0, 0xF1] + [0xF3] * (chunk + 1),
              "the device should have seen the start, the open and %d chunks" % (chunk + 1))
        check(all(c == 0xF2 for c in commands[2 + chunk + 1 :]), "only finish requests may follow the lost chunk")
        log("finish requests that reached the device: %d" % len(finishes))
        app.click_right()
        check(app.wait_exit() == 0, "OK on the error screen should end the program with 0")


def scenario_unplug_after_finish(options):
    # A device may restart as soon as it has answered the finish request; the answer must still count.
    # The race is narrow, so a few rounds.
    for round_ in range(3):
        with Run(options, "unplug_after_finish") as run:
            run.write_update(5000)
            sim = run.start_sim("--release", "0x0105", "--fault", "cmd=0xF2:3,unplug=after")
            app = run.start_app()
            run.connected()
            app.click_right()
            app.wait_screen("ready")
            app.click_right()
            sim.wait_line(r"finished crc=ok$", 60)
            sim.wait_line(r"unplugged$", 10)
            try:
                app.wait_screen("complete")
            except Failure as e:
                raise Failure("round %d: the device left right after its finish reply: %s" % (round_ + 1, e))
            app.click_right()
            check(app.wait_exit() == 0, "OK on the complete screen should end the program with 0")


def scenario_invalid_file(options):
    with Run(options, "invalid_file") as run:
        run.write_update(2000, tag=b"TL383")
        sim = run.start_sim("--release", "0x0105")
        app = run.start_app()
        run.connected()
        app.click_right()
        app.wait_screen("warning")
        settle()
        before = app.grab()
        run.shot(app, "file_error.png", before)
        for command, line in (("unplug", r"unplugged$"), ("plug", r"plugged$")):
            mark = sim.mark()
            sim.command(command)
            sim.wait_line(line, 5, after=mark)
            settle()
            check(app.grab().rgb == before.rgb, "the file-error screen changed on '%s'" % command)
        check(not sim.said(r"report "), "nothing may be sent to the device with a bad update file")
        app.click_right()
        check(app.wait_exit() == 0, "OK on the file-error screen should end the program with 0")


def scenario_hotplug_language(options):
    with Run(options, "hotplug_language_screen") as run:
        run.write_update(5000)
        sim = run.start_sim("--release", "0x0105")
        app = run.start_app()
        run.connected()
        settle()
        before = app.grab()
        check(Screen(before).kind == "language", "the language screen should show first")

        def device(command, line):
            mark = sim.mark()
            sim.command(command)
            sim.wait_line(line, 5, after=mark)

        for command, line in (("unplug", r"unplugged$"), ("plug", r"plugged$")):
            device(command, line)
            settle()
            check(app.grab().rgb == before.rgb, "the language screen changed on '%s'" % command)
        device("unplug", r"unplugged$")
        settle()
        app.click_right()
        app.wait_screen("warning")
        settle()
        run.shot(app, "not_connected.png")
        device("plug", r"plugged$")
        app.wait_screen("ready")
        device("unplug", r"unplugged$")
        app.wait_screen("warning")
        app.click_right()
        check(app.wait_exit() == 0, "Close on the not-connected screen should end the program with 0")


def stacking():
    """Ids of the root's children, bottom to top (xwininfo lists the top one first)."""
    out = tool(["xwininfo", "-root", "-children"]).decode(errors="replace")
    return [int(m.group(1), 16) for m in re.finditer(r"^\s+(0x[0-9a-f]+)\s", out, re.M)][::-1]


def seen_at(app):
    """What the screen itself shows where the window lies: the window only if nothing covers it."""
    area = "%dx%d+%d+%d" % (app.width, app.height, app.x, app.y)
    return Screen(Picture.from_ppm(tool(["import", "-silent", "-window", "root", "-crop", area, "-depth", "8",
                                         "ppm:-"])))


def scenario_single_instance(options):
    with Run(options, "single_instance") as run:
        run.start_sim()
        app = run.start_app()
        geometry = "600x300+%d+%d" % (max(0, app.x - 50), max(0, app.y - 50))
        try:
            cover = subprocess.Popen(["xmessage", "-name", "ktrq7-e2e-cover", "-geometry", geometry, "covering"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except FileNotFoundError:
            raise Failure("xmessage is not installed (scripts/setup installs it)")
        run.others.append(cover)
        # xmessage puts no process id on its window; its instance name tells it.
        out = tool(["xdotool", "search", "--sync", "--onlyvisible", "--classname", "^ktrq7-e2e-cover$"],
                   timeout=WINDOW_TIMEOUT)
        covering = int(out.split()[0])
        ours = int(app.window)
        order = stacking()
        check(order.index(covering) > order.index(ours), "the covering window should start above the updater")
        check(seen_at(app).kind != "language", "the covering window should hide the updater")

        second = run.start_app(title=None, tag="second")
        try:
            rc = second.process.wait(10)
        except subprocess.TimeoutExpired:
            raise Failure("the second start did not end")
        check(rc == 0, "the second start should end with 0, not %d" % rc)
        titled = tool(["xdotool", "search", "--onlyvisible", "--name", "^Updater Program$"]).split()
        check(len(titled) == 1, "expected one updater window, found %d" % len(titled))

        def on_top():
            order = stacking()
            return order.index(ours) > order.index(covering)

        wait_until(on_top, 5, "the running updater to come to the front")
        settle()
        check(seen_at(app).kind == "language", "the updater should show in front of the covering window")
        check(app.process.poll() is None, "the first program must go on running")
        app.click_left()
        check(app.wait_exit() == 0, "Cancel should end the program with 0")


SCENARIOS = {
    "languages": scenario_languages,
    "progress_screenshot": scenario_progress,
    "close_after_start": scenario_close_after_start,
    "unplug_replug_during_data": scenario_unplug_replug,
    "unplug_after_finish": scenario_unplug_after_finish,
    "invalid_file": scenario_invalid_file,
    "hotplug_language_screen": scenario_hotplug_language,
    "single_instance": scenario_single_instance,
}
UPDATE_SIZES = (37, 1022, 1023, 2044, 74565, 3 * 1024 * 1024)
for _size in UPDATE_SIZES:
    SCENARIOS["update_%d" % _size] = lambda options, size=_size: scenario_update(options, size)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    parser.add_argument("--app", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the run's folder")
    parser.add_argument("--keep-x11-loaded", action="store_true",
                        help="preload libX11 into the program, for LeakSanitizer (see Run)")
    options = parser.parse_args()
    # The processes run in their own folders.
    for name in ("app", "sim", "out"):
        setattr(options, name, os.path.abspath(getattr(options, name)))
    if not os.environ.get("DISPLAY"):
        print("e2e: no DISPLAY; run under xvfb-run", file=sys.stderr)
        return 1
    started = time.monotonic()
    try:
        SCENARIOS[options.scenario](options)
    except Failure as e:
        log("FAIL %s: %s" % (options.scenario, e))
        return 1
    log("PASS %s in %.1fs" % (options.scenario, time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
