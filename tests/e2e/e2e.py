#!/usr/bin/env python3
"""Drives the real updater on an X display against the ktrq7-sim process.

Usage: e2e.py SCENARIO --app PATH --sim PATH --out DIR [--keep]

Each run gets a folder of its own holding a link to the program (the program looks for its update file
beside the path it was started by), the update file, HOME, and the simulator's socket, reports and image.
What a screen shows is read from the pixels of a screenshot: the buttons' outline, the progress bar's dark
ground, the warning icon's yellow, the language list's white.
"""

import argparse
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

TEXTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "App", "Binary")
# (code, text file) in the order of the language list.
LANGUAGES = [("en", "english"), ("fr", "french"), ("de", "german"), ("es", "spanish"), ("it", "italian"),
             ("nl", "dutch"), ("ru", "russian"), ("pt", "portuguese"), ("zh-Hans", "simplified_chinese"),
             ("zh-Hant", "traditional_chinese"), ("ko", "korean"), ("ja", "japanese")]
OUTLINE, BAR_GROUND, WHITE = (0x89, 0x89, 0x89), (8, 8, 8), (255, 255, 255)
REPORT, PAYLOAD = 1024, 1022
# Generous: the sanitizer builds start and end several times slower.
WINDOW_TIMEOUT, SCREEN_TIMEOUT, EXIT_TIMEOUT, SETTLE = 30, 10, 15, 0.3


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def log(message):
    print(message, flush=True)


def settle():
    time.sleep(SETTLE)


def wait_until(predicate, timeout, what, interval=0.05):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() >= deadline:
            raise Failure("timed out after %gs waiting for %s" % (timeout, what))
        time.sleep(interval)
    return value


def tool(args, timeout=20, check_rc=True, data=None):
    try:
        result = subprocess.run(args, input=data, capture_output=True, timeout=timeout)
    except FileNotFoundError:
        raise Failure("%s is not installed (scripts/setup installs it)" % args[0])
    except subprocess.TimeoutExpired:
        raise Failure("%s did not finish within %gs" % (" ".join(args), timeout))
    check(not check_rc or result.returncode == 0,
          "%s failed (%d): %s" % (" ".join(args), result.returncode, result.stderr.decode(errors="replace")))
    return result.stdout


def ended(process, timeout, what):
    """The exit status of a process that must end within the time."""
    try:
        return process.wait(timeout)
    except subprocess.TimeoutExpired:
        raise Failure("%s did not end within %gs" % (what, timeout))


def stop(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(3)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def title_of(file_stem):
    """Text 3 of a language: the fourth string of its ":STR" section."""
    with open(os.path.join(TEXTS, file_stem + ".txt"), encoding="utf-8-sig") as f:
        strings, inside = [], False
        for line in (line.strip() for line in f):
            if line.startswith(":"):
                inside = line == ":STR"
            elif inside and len(line) >= 2 and line[0] == line[-1] == '"':
                strings.append(line[1:-1])
    check(len(strings) > 3, "no text 3 in %s.txt" % file_stem)
    return strings[3]


class Picture:
    """A screenshot, from the binary PPM that ImageMagick's import writes."""

    def __init__(self, data):
        header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
        check(header is not None, "unexpected screenshot format %r" % data[:20])
        self.data, self.width, self.height = data, int(header.group(1)), int(header.group(2))
        self.rgb = data[header.end() : header.end() + self.width * self.height * 3]
        check(len(self.rgb) == self.width * self.height * 3, "short screenshot")

    def row(self, y, x0, x1):
        o = y * self.width * 3
        line = self.rgb[o + max(0, x0) * 3 : o + min(self.width, x1) * 3]
        return [tuple(line[i : i + 3]) for i in range(0, len(line), 3)]

    def save_png(self, path):
        tool(["convert", "ppm:-", "png:" + path], data=self.data)


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
            self.buttons.append("right" if abs(centre - (w - 70)) <= 15 else
                                "left" if abs(centre - (w - 180)) <= 15 else "at %g" % centre)
        self.icon = sum(r > 180 and g > 150 and b < 130 for y in range(15, 80) for r, g, b in p.row(y, 20, 85)) > 300
        top, inner = (h - 20) // 2, w - 40
        self.bar = sum(c == BAR_GROUND for c in p.row(top, 20, w - 20)) >= 0.9 * inner
        # The filled part starts two pixels in from the bar's edges; the percentage drawn across the middle
        # leaves the rows near its top alone.
        fill = p.row(top + 3, 22, w - 22)
        self.progress = sum(c != BAR_GROUND for c in fill) / max(1, len(fill)) if self.bar else None
        self.list = sum(c == WHITE for c in p.row(top + 10, 20, w - 20)) >= 0.5 * inner

    @property
    def kind(self):
        two, one = sorted(self.buttons) == ["left", "right"], self.buttons == ["right"]
        if self.list and two and not self.icon and not self.bar:
            return "language"
        if self.bar and not self.buttons and not self.list:
            return "updating"
        if self.list or self.bar:
            return "unknown"
        if two and not self.icon:
            return "ready"
        if one:
            return "warning" if self.icon else "complete"  # warning: file error, not connected or update error
        return "unknown"

    def __str__(self):
        return "%s (buttons %s, icon %s, bar %s, list %s)" % (self.kind, self.buttons, self.icon, self.bar, self.list)


class Simulator:
    def __init__(self, path, folder, env, args):
        self.out, self.err, self.reports, self.image = (
            os.path.join(folder, name) for name in ("sim.out", "sim.err", "reports.bin", "image.bin"))
        cmd = [path, "--socket", os.path.join(folder, "sim.sock"), "--reports", self.reports, "--image", self.image]
        with open(self.out, "wb") as out, open(self.err, "wb") as err:
            self.process = subprocess.Popen(cmd + list(args), stdin=subprocess.PIPE, stdout=out, stderr=err,
                                            env=env, cwd=folder)

    def said(self, pattern, after=0):
        """Indexes of the whole status lines from `after` on that match."""
        lines = read(self.out).decode(errors="replace").split("\n")[:-1]
        return [i for i, line in enumerate(lines) if i >= after and re.match(pattern, line)]

    def wait_line(self, pattern, timeout, after=0):
        def seen():
            running = self.process.poll() is None  # first: all it said before it ended is in the file then
            hits = self.said(pattern, after)
            check(hits or running, "the simulator ended without saying /%s/" % pattern)
            return hits

        return wait_until(seen, timeout, "the simulator to say /%s/" % pattern)[0]

    def command(self, line):
        """Sends a plug command and waits for the status line it causes."""
        mark = len(self.said(""))
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()
        self.wait_line({"unplug": r"unplugged$", "plug": r"plugged$"}[line], 5, after=mark)

    def check_image(self, data):
        image = read(self.image)
        check(image == data, "the device's image (%d bytes) differs from the update file (%d bytes)"
              % (len(image), len(data)))


class App:
    def __init__(self, link, folder, env, tag):
        self.out, self.err = os.path.join(folder, tag + ".out"), os.path.join(folder, tag + ".err")
        with open(self.out, "wb") as out, open(self.err, "wb") as err:
            self.process = subprocess.Popen([link], stdout=out, stderr=err, env=env, cwd=folder)
        self.window = None

    def find_window(self, title):
        # --sync waits for the window; the time-out keeps a program that never shows one from hanging the test.
        try:
            out = tool(["xdotool", "search", "--sync", "--onlyvisible", "--all", "--pid", str(self.process.pid),
                        "--name", "^%s$" % re.escape(title)], timeout=WINDOW_TIMEOUT)
        except Failure:
            raise Failure("no window titled %r appeared (program %s)" % (title, self.state()))
        self.window = out.split()[0].decode()
        geometry = tool(["xdotool", "getwindowgeometry", "--shell", self.window]).decode()
        values = dict(line.split("=", 1) for line in geometry.split() if "=" in line)
        self.x, self.y, self.width, self.height = (int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def state(self):
        rc = self.process.poll()
        return "running" if rc is None else "exited with %d" % rc

    def title(self):
        return tool(["xdotool", "getwindowname", self.window]).decode("utf-8", errors="replace").rstrip("\n")

    def grab(self, window=None):
        return Picture(tool(["import", "-silent", "-window", window or self.window, "-depth", "8", "ppm:-"]))

    def click(self, x, y, window=None):
        tool(["xdotool", "mousemove", "--window", window or self.window, str(x), str(y), "click", "1"])

    def button(self, which):
        """Where a button lies, measured from the window's lower right corner."""
        return self.width - (70 if which == "right" else 180), self.height - 30

    def wait_screen(self, kind, timeout=SCREEN_TIMEOUT):
        last = [None]

        def shows():
            check(self.process.poll() is None, "program %s while waiting for the %s screen" % (self.state(), kind))
            last[0] = Screen(self.grab())
            return last[0].kind == kind and last[0]

        try:
            return wait_until(shows, timeout, "the %s screen" % kind)
        except Failure as e:
            raise Failure("%s; last seen: %s" % (e, last[0]))

    def exits_on(self, which, what):
        """The button ends the program with 0."""
        self.click(*self.button(which))
        rc = ended(self.process, EXIT_TIMEOUT, "the program after %s" % what)
        check(rc == 0, "%s should end the program with 0, not %d" % (what, rc))


class Run:
    """One scenario's folder, processes and clean-up."""

    def __init__(self, options, name):
        self.options, self.name = options, name
        self.folder = tempfile.mkdtemp(prefix="ktrq7-e2e-%s-" % name)
        self.link = os.path.join(self.folder, "KTR-Q7UpdateProgram")
        os.symlink(os.path.abspath(options.app), self.link)
        home = os.path.join(self.folder, "home")
        os.makedirs(os.path.join(home, ".config"))
        env = {k: v for k, v in os.environ.items() if k not in ("LC_ALL", "LC_MESSAGES")}
        env.update(HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"), LANGUAGE="en", LANG="en",
                   KTRQ7_SIM_SOCKET=os.path.join(self.folder, "sim.sock"))
        self.env, self.sim, self.apps, self.others = env, None, [], []

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        failed = kind is not None
        if failed:
            # The whole screen too: a window that something covers grabs as black.
            shots = [lambda: self.shot(None, "%s_failure_screen.png" % self.name, self.grab_root())]
            shots += [lambda app=app: self.shot(app, "%s_failure.png" % self.name) for app in self.apps
                      if app.window is not None and app.process.poll() is None]
            for shot in shots:
                try:
                    shot()
                except Failure:
                    pass
        for process in [app.process for app in self.apps] + self.others + ([self.sim.process] if self.sim else []):
            stop(process)
        outputs = [("program %d (%s)" % (i + 1, app.state()), app.out, app.err) for i, app in enumerate(self.apps)]
        outputs += [("simulator (exit %s)" % self.sim.process.poll(), self.sim.out, self.sim.err)] if self.sim else []
        reported = any(re.search(rb"Sanitizer|runtime error:", read(err)) for _, _, err in outputs)
        if failed or reported:
            for what, out, err in outputs:
                # The simulator logs each report: the end of the output tells.
                tail = b"\n".join(read(out).splitlines()[-60:]).decode(errors="replace")
                log("---- %s stdout ----\n%s\n---- stderr ----\n%s" % (what, tail, read(err).decode(errors="replace")))
        if self.options.keep:
            log("kept %s" % self.folder)
        else:
            shutil.rmtree(self.folder, ignore_errors=True)
        check(failed or not reported, "sanitizer report in the output above")
        return False

    def grab_root(self, crop=None):
        return Picture(tool(["import", "-silent", "-window", "root"] + (["-crop", crop] if crop else [])
                            + ["-depth", "8", "ppm:-"]))

    def shot(self, app, name, picture=None):
        os.makedirs(self.options.out, exist_ok=True)
        path = os.path.join(self.options.out, name)
        (picture or app.grab()).save_png(path)
        log("saved %s" % path)

    def write_update(self, size, tag=b"TL382"):
        data = bytearray(os.urandom(size))
        data[0:5], data[20:23] = tag, b"107"
        with open(os.path.join(self.folder, "ktrq7_v107.upd"), "wb") as f:
            f.write(data)
        return bytes(data)

    def start_sim(self, *args):
        self.sim = Simulator(self.options.sim, self.folder, self.env, args)
        self.sim.wait_line(r"listening ", 10)
        return self.sim

    def start_app(self, title="Updater Program", tag="app"):
        self.apps.append(App(self.link, self.folder, self.env, tag))
        if title is not None:
            self.apps[-1].find_window(title)
        return self.apps[-1]

    def connected(self, *sim_args):
        """The program on its language screen, a device in update mode (release 1.05) attached."""
        self.start_sim("--release", "0x0105", *sim_args)
        app = self.start_app()
        self.sim.wait_line(r"connected$", WINDOW_TIMEOUT)
        return self.sim, app

    def to_ready(self, size, *sim_args):
        """An update file of this size, and the program on its ready screen."""
        data = self.write_update(size)
        sim, app = self.connected(*sim_args)
        app.click(*app.button("right"))
        app.wait_screen("ready")
        return data, sim, app


def completes(sim, app, data, timeout=240):
    """The transfer under way ends with the image the device announced, and the complete screen's OK ends
    the program."""
    sim.wait_line(r"finished crc=", timeout)
    check(sim.said(r"finished crc=ok$"), "the simulator found the image's CRC wrong")
    app.wait_screen("complete")
    sim.check_image(data)
    app.exits_on("right", "OK on the complete screen")


def list_items(picture):
    """(top, bottom) of each item of an open language list, from its rows of ink, and the index of the
    highlighted item: a band of dark rows, which counts as one item."""
    items = []
    # Inside the pop-up's one-pixel frame.
    for y in range(1, picture.height - 1):
        row = picture.row(y, 4, picture.width - 4)
        dark = sum(sum(c) < 384 for c in row)
        # Rows a few pixels apart belong to one line of text (accents, the dots of i and j).
        if dark and items and y - items[-1][1] <= 3:
            items[-1][1:] = [y, items[-1][2] or dark >= 0.8 * len(row)]
        elif dark:
            items.append([y, y, dark >= 0.8 * len(row)])
    highlighted = [i for i, item in enumerate(items) if item[2]]
    return [(top, bottom) for top, bottom, _ in items], highlighted[-1] if highlighted else None


def pick_language(app, index):
    app.click(app.width // 2, (app.height - 20) // 2 + 10)
    menu = ["xdotool", "search", "--onlyvisible", "--all", "--pid", str(app.process.pid), "--name", "^menu$"]
    popup = tool(menu[:2] + ["--sync"] + menu[2:], timeout=SCREEN_TIMEOUT).split()[0].decode()
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
    wait_until(lambda: not tool(menu, check_rc=False).split(), SCREEN_TIMEOUT, "the language list to close")


def scenario_languages(run):
    run.start_sim()
    app = run.start_app()
    check(Screen(app.grab()).kind == "language", "the language screen should show first: %s" % Screen(app.grab()))
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
        check(Screen(picture).kind == "language", "after picking %s: %s" % (code, Screen(picture)))
        run.shot(app, "lang_%s.png" % code, picture)
    app.exits_on("left", "Cancel")


def read_reports(path):
    data = read(path)
    check(len(data) % REPORT == 0, "reports file of %d bytes is not whole records" % len(data))
    return [data[i : i + REPORT] for i in range(0, len(data), REPORT)]


def scenario_update(run, size):
    data, sim, app = run.to_ready(size, "--exit-after-finish")
    keep = size == 74565
    if keep:
        settle()
        run.shot(app, "ready.png")
    app.click(*app.button("right"))
    # A 3 MiB transfer takes seconds here, many more in a sanitizer build.
    sim.wait_line(r"finished crc=", 240)
    check(sim.said(r"finished crc=ok$"), "the simulator found the image's CRC wrong")
    rc = ended(sim.process, EXIT_TIMEOUT, "the simulator after the finish")
    check(rc == 0, "the simulator exited with %d" % rc)
    app.wait_screen("complete")
    # The simulator leaving after the finish must not change the final screen.
    settle()
    check(Screen(app.grab()).kind == "complete", "the complete screen changed when the device left")
    if keep:
        run.shot(app, "complete.png")
    records = read_reports(sim.reports)
    chunks = math.ceil(size / PAYLOAD)
    commands = [r[0] for r in records]
    check(commands == [0xF0, 0xF1] + [0xF3] * chunks + [0xF2] * 4,
          "reports: %d records, commands %s...%s; expected 1 start, 1 open, %d data, 4 finish"
          % (len(records), [hex(c) for c in commands[:4]], [hex(c) for c in commands[-6:]], chunks))
    check(int.from_bytes(records[0][5:8], "little") == size, "the start request announces the wrong length")
    # Each chunk carries its part of the file; the tail of a short last chunk is zeros.
    for k in range(chunks):
        part = data[k * PAYLOAD : (k + 1) * PAYLOAD]
        check(records[2 + k][2:] == part + bytes(PAYLOAD - len(part)), "data chunk %d differs from the file" % k)
    completes(sim, app, data)


def scenario_progress(run):
    size, chunk = 3 * 1024 * 1024, 1500
    data, sim, app = run.to_ready(size, "--exit-after-finish", "--fault", "chunk=%d,delay=3000" % chunk)
    app.click(*app.button("right"))
    # Reports 0 and 1 are the start and open requests; data chunk k is report k + 2.
    sim.wait_line(r"report f3 %d$" % (chunk + 2), 240)
    # The bar moves towards a new value at a limited speed; it has arrived when it stops moving.
    seen = []

    def still():
        seen.append(Screen(app.grab()))
        time.sleep(0.2)
        return len(seen) >= 2 and seen[-1].picture.rgb == seen[-2].picture.rgb

    wait_until(still, 2.5, "the progress bar to settle", interval=0)
    check(seen[-1].kind == "updating", "while a chunk waits for its reply: %s" % seen[-1])
    expected = chunk / math.ceil(size / PAYLOAD)
    check(abs(seen[-1].progress - expected) < 0.02,
          "the bar shows %.3f done with %.3f of the chunks sent" % (seen[-1].progress, expected))
    run.shot(app, "progress.png", seen[-1].picture)
    completes(sim, app, data)


def scenario_close_after_start(run):
    data, sim, app = run.to_ready(300000, "--exit-after-finish")
    (sx, sy), (cx, cy) = app.button("right"), app.button("left")
    # Both clicks in one command, presses and releases without the pause that "click" makes: Close is hit if
    # it still shows.
    tool(["xdotool", "mousemove", "--window", app.window, str(sx), str(sy), "mousedown", "1", "mouseup", "1",
          "mousemove", "--window", app.window, str(cx), str(cy), "mousedown", "1", "mouseup", "1"])
    # Either Close was hit and the program ends, or Close was hidden already and the transfer goes on.
    wait_until(lambda: app.process.poll() is not None or sim.said(r"finished"), 60,
               "the program to end or the transfer to finish")
    rc = app.process.poll()
    if rc is None:
        log("Close was hidden before the click reached it: the transfer ran to its end")
        return completes(sim, app, data)
    check(rc == 0, "Close right after Start should end the program with 0, not %d" % rc)
    check(not sim.said(r"finished"), "the transfer cannot have finished when Close ended it")
    log("Close was hit: the program ended with 0 after %d reports" % len(sim.said(r"report ")))


def scenario_unplug_replug(run):
    chunk = 20
    _, sim, app = run.to_ready(100000, "--fault", "chunk=%d,unplug=instead,rearrive=300" % chunk)
    app.click(*app.button("right"))
    back = sim.wait_line(r"plugged$", 10, after=sim.wait_line(r"unplugged$", 30) + 1)
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
    app.exits_on("right", "OK on the error screen")


def scenario_unplug_after_finish(run):
    # A device may restart as soon as it has answered the finish request; the answer must still count.
    data, sim, app = run.to_ready(5000, "--fault", "cmd=0xF2:3,unplug=after")
    app.click(*app.button("right"))
    sim.wait_line(r"unplugged$", 60)
    completes(sim, app, data, 60)


def unchanged_on_plug_commands(sim, app, screen):
    before = app.grab()
    for command in ("unplug", "plug"):
        sim.command(command)
        settle()
        check(app.grab().rgb == before.rgb, "the %s screen changed on '%s'" % (screen, command))
    return before


def scenario_invalid_file(run):
    run.write_update(2000, tag=b"TL383")
    sim, app = run.connected()
    app.click(*app.button("right"))
    app.wait_screen("warning")
    settle()
    run.shot(app, "file_error.png", unchanged_on_plug_commands(sim, app, "file-error"))
    check(not sim.said(r"report "), "nothing may be sent to the device with a bad update file")
    app.exits_on("right", "OK on the file-error screen")


def scenario_hotplug_language(run):
    run.write_update(5000)
    sim, app = run.connected()
    settle()
    check(Screen(unchanged_on_plug_commands(sim, app, "language")).kind == "language",
          "the language screen should show first")
    sim.command("unplug")
    settle()
    app.click(*app.button("right"))
    app.wait_screen("warning")
    settle()
    run.shot(app, "not_connected.png")
    sim.command("plug")
    app.wait_screen("ready")
    sim.command("unplug")
    app.wait_screen("warning")
    app.exits_on("right", "Close on the not-connected screen")


def above(upper, lower):
    """Whether the first window lies above the second (xwininfo lists the root's children top first)."""
    out = tool(["xwininfo", "-root", "-children"]).decode(errors="replace")
    order = [int(m.group(1), 16) for m in re.finditer(r"^\s+(0x[0-9a-f]+)\s", out, re.M)]
    return order.index(upper) < order.index(lower)


def scenario_single_instance(run):
    run.start_sim()
    app = run.start_app()

    def seen():
        """What the screen itself shows where the window lies: the window only if nothing covers it."""
        return Screen(run.grab_root("%dx%d+%d+%d" % (app.width, app.height, app.x, app.y))).kind

    geometry = "600x300+%d+%d" % (max(0, app.x - 50), max(0, app.y - 50))
    try:
        run.others.append(subprocess.Popen(["xmessage", "-name", "ktrq7-e2e-cover", "-geometry", geometry,
                                            "covering"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    except FileNotFoundError:
        raise Failure("xmessage is not installed (scripts/setup installs it)")
    # xmessage puts no process id on its window; its instance name tells it.
    covering = int(tool(["xdotool", "search", "--sync", "--onlyvisible", "--classname", "^ktrq7-e2e-cover$"],
                        timeout=WINDOW_TIMEOUT).split()[0])
    ours = int(app.window)
    check(above(covering, ours), "the covering window should start above the updater")
    check(seen() != "language", "the covering window should hide the updater")

    rc = ended(run.start_app(title=None, tag="second").process, 10, "the second start")
    check(rc == 0, "the second start should end with 0, not %d" % rc)
    titled = tool(["xdotool", "search", "--onlyvisible", "--name", "^Updater Program$"]).split()
    check(len(titled) == 1, "expected one updater window, found %d" % len(titled))
    wait_until(lambda: above(ours, covering), 5, "the running updater to come to the front")
    settle()
    check(seen() == "language", "the updater should show in front of the covering window")
    check(app.process.poll() is None, "the first program must go on running")
    app.exits_on("left", "Cancel")


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
for _size in (37, 1022, 1023, 2044, 74565, 3 * 1024 * 1024):
    SCENARIOS["update_%d" % _size] = lambda run, size=_size: scenario_update(run, size)
# Races that are narrow run a few times, each round in a run of its own.
ROUNDS = {"unplug_after_finish": 3}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    for name in ("--app", "--sim", "--out"):
        parser.add_argument(name, required=True, type=os.path.abspath)  # the processes run in their own folders
    parser.add_argument("--keep", action="store_true", help="keep the run's folder")
    options = parser.parse_args()
    if not os.environ.get("DISPLAY"):
        print("e2e: no DISPLAY; run under xvfb-run", file=sys.stderr)
        return 1
    started = time.monotonic()
    for round_ in range(ROUNDS.get(options.scenario, 1)):
        try:
            with Run(options, options.scenario) as run:
                SCENARIOS[options.scenario](run)
        except Failure as e:
            log("FAIL %s in round %d: %s" % (options.scenario, round_ + 1, e))
            return 1
    log("PASS %s in %.1fs" % (options.scenario, time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
