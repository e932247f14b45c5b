#!/usr/bin/env python3
# Drives the real updater against the ktrq7-sim process, on X displays of the scenario's own.
# Usage: e2e.py SCENARIO --app PATH --sim PATH --out DIR [--keep]
# Each run has its own folder (the program's link and update file, HOME, the runtime and temporary folders, the
# simulator's socket and files) and its own Xvfb servers, so runs never meet each other's windows or files. What a
# screen shows is read from the pixels of a screenshot.

import argparse
import fcntl
import math
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

TEXTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "App", "Binary")
LANGUAGES = ["english", "french", "german", "spanish", "italian", "dutch", "russian", "portuguese",
             "simplified_chinese", "traditional_chinese", "korean", "japanese"]
OUTLINE, BAR_GROUND, WHITE = (0x89, 0x89, 0x89), (8, 8, 8), (255, 255, 255)
REPORT, PAYLOAD, NAME = 1024, 1022, "KTR-Q7UpdateProgram"
# Generous: a loaded machine and the sanitizer builds are many times slower than an idle one.
WAIT, TRANSFER = 60, 300
LIST_GUARD = 0.3  # seconds: longer than the language list's guard against the release of the click that opened it


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def log(message):
    print(message, flush=True)


def wait_until(predicate, what, timeout=WAIT):  # `what` may be a function that tells it at the end
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() >= deadline:
            raise Failure("timed out after %gs waiting for %s" % (timeout, what() if callable(what) else what))
        time.sleep(0.05)
    return value


def tool(args, env=None, data=None, quiet=False):
    # A tool's output; None when it fails and `quiet` says that failing means "not yet".
    try:
        result = subprocess.run(args, input=data, capture_output=True, timeout=WAIT, env=env)
    except FileNotFoundError:
        raise Failure("%s is not installed (scripts/setup installs it)" % args[0])
    except subprocess.TimeoutExpired:
        raise Failure("%s did not finish within %gs" % (" ".join(args), WAIT))
    if result.returncode != 0:
        check(quiet, "%s failed: %s" % (" ".join(args), result.stderr.decode(errors="replace")))
        return None
    return result.stdout


def ended(process, what, timeout=WAIT):
    try:
        return process.wait(timeout)
    except subprocess.TimeoutExpired:
        raise Failure("%s did not end within %gs" % (what, timeout))


def stop(process, grace=0):
    # With a grace period, asked to end first: an X server removes its socket and lock file only then.
    if process.poll() is None and grace:
        process.terminate()
        try:
            process.wait(grace)
        except subprocess.TimeoutExpired:
            pass
    if process.poll() is None:
        process.kill()
        process.wait()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def title_of(language):  # text 3: the fourth string of the ":STR" section
    with open(os.path.join(TEXTS, language + ".txt"), encoding="utf-8-sig") as f:
        section = f.read().split(":STR", 1)[1].split("\n:", 1)[0]
    return re.findall(r'^\s*"(.*)"\s*$', section, re.M)[3]


class Display:
    # An Xvfb server of the run's own.

    def __init__(self):
        ready, write = os.pipe()
        self.process = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x1024x24",
                                         "-nolisten", "tcp", "-noreset"], pass_fds=[write], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        os.close(write)
        number = b""
        while not number.endswith(b"\n") and select.select([ready], [], [], WAIT)[0] and (part := os.read(ready, 16)):
            number += part
        os.close(ready)
        check(number.endswith(b"\n"), "Xvfb did not start")
        self.name = ":" + number.decode().strip()
        self.env = dict(os.environ, DISPLAY=self.name)

    def windows(self, *criteria):
        # A window that closes during the search makes xdotool fail: that is "not yet", like no match.
        out = tool(["xdotool", "search", "--onlyvisible", "--all"] + list(criteria), self.env, quiet=True)
        return [int(w) for w in out.split()] if out else []

    def stacking(self):
        out = tool(["xwininfo", "-root", "-children"], self.env).decode(errors="replace")
        return [int(m.group(1), 16) for m in re.finditer(r"^\s+(0x[0-9a-f]+)\s", out, re.M)]

    def grab(self, window="root", quiet=False):
        data = tool(["import", "-silent", "-window", str(window), "-depth", "8", "ppm:-"], self.env, quiet=quiet)
        return Picture(data) if data else None


class Picture:
    # A screenshot, from the binary PPM that ImageMagick's import writes.

    def __init__(self, data):
        header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
        check(header is not None, "unexpected screenshot format %r" % data[:20])
        self.data, self.width, self.height = data, int(header.group(1)), int(header.group(2))
        self.rgb = data[header.end():]

    def row(self, y, x0, x1):
        o = y * self.width * 3
        line = self.rgb[o + max(0, x0) * 3:o + min(self.width, x1) * 3]
        return [tuple(line[i:i + 3]) for i in range(0, len(line), 3)]


class Screen:
    # What a screenshot of the main window shows: the buttons' outline, the progress bar's dark ground, the
    # warning icon's yellow, the language list's white.

    def __init__(self, p):
        self.picture, w, h = p, p.width, p.height
        self.buttons = []  # from the straight part of each button's top outline
        for run in re.finditer("o{40,}", "".join("o" if c == OUTLINE else "." for c in p.row(h - 40, 0, w))):
            centre = sum(run.span()) / 2
            self.buttons.append("right" if abs(centre - (w - 70)) <= 15 else
                                "left" if abs(centre - (w - 180)) <= 15 else "at %g" % centre)
        self.icon = sum(r > 180 and g > 150 and b < 130 for y in range(15, 80) for r, g, b in p.row(y, 20, 85)) > 300
        top, inner = (h - 20) // 2, w - 40
        self.bar = sum(c == BAR_GROUND for c in p.row(top, 20, w - 20)) >= 0.9 * inner
        # The filled part starts two pixels in; the percentage drawn across the middle spares the rows near the top.
        fill = p.row(top + 3, 22, w - 22)
        self.progress = sum(c != BAR_GROUND for c in fill) / max(1, len(fill)) if self.bar else None
        self.list = sum(c == WHITE for c in p.row(top + 10, 20, w - 20)) >= 0.5 * inner

    @property
    def kind(self):  # "warning": the file error, not connected or the update error
        two, one = sorted(self.buttons) == ["left", "right"], self.buttons == ["right"]
        return ("language" if self.list and two and not self.icon and not self.bar else
                "updating" if self.bar and not self.buttons and not self.list else
                "unknown" if self.list or self.bar else
                "ready" if two and not self.icon else
                ("warning" if self.icon else "complete") if one else "unknown")

    def __str__(self):
        return "%s (buttons %s, icon %s, bar %s, list %s)" % (self.kind, self.buttons, self.icon, self.bar, self.list)


class Simulator:
    def __init__(self, path, folder, args):
        self.out, self.err, self.report_file, self.image = (
            os.path.join(folder, n) for n in ("sim.out", "sim.err", "reports.bin", "image.bin"))
        cmd = [path, "--socket", os.path.join(folder, "sim.sock"), "--reports", self.report_file, "--image", self.image]
        with open(self.out, "wb") as out, open(self.err, "wb") as err:
            self.process = subprocess.Popen(cmd + list(args), stdin=subprocess.PIPE, stdout=out, stderr=err,
                                            cwd=folder)
        self.wait_line(r"listening ")

    def said(self, pattern, after=0):
        # Indexes of the whole status lines from `after` on that match.
        lines = read(self.out).decode(errors="replace").split("\n")[:-1]
        return [i for i, line in enumerate(lines) if i >= after and re.match(pattern, line)]

    def wait_line(self, pattern, timeout=WAIT, after=0):
        def seen():
            running = self.process.poll() is None  # first: all it said before it ended is in the file then
            check((hits := self.said(pattern, after)) or running, "the simulator ended without saying /%s/" % pattern)
            return hits

        return wait_until(seen, "the simulator to say /%s/" % pattern, timeout)[0]

    def reports(self):
        data = read(self.report_file)
        check(len(data) % REPORT == 0, "reports file of %d bytes is not whole records" % len(data))
        return [data[i:i + REPORT] for i in range(0, len(data), REPORT)]


class App:
    def __init__(self, run, argv, display, cwd, env, tag):
        self.display, self.err = display, os.path.join(run.folder, tag + ".err")
        with open(os.path.join(run.folder, tag + ".out"), "wb") as out, open(self.err, "wb") as err:
            self.process = subprocess.Popen(argv, stdout=out, stderr=err, cwd=cwd, env=dict(env, DISPLAY=display.name))
        self.window = None

    def find_window(self):
        def shown():
            check(self.process.poll() is None, "the program %s before its window showed" % self.state())
            return self.display.windows("--pid", str(self.process.pid), "--name", "^%s$" % title_of("english"))

        self.window = wait_until(shown, "the program's window")[0]
        out = tool(["xdotool", "getwindowgeometry", "--shell", str(self.window)], self.display.env).decode()
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        self.x, self.y, self.width, self.height = (int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
        return self

    def state(self):
        return "is running" if (rc := self.process.poll()) is None else "exited with %d" % rc

    def title(self):
        return tool(["xdotool", "getwindowname", str(self.window)], self.display.env).decode(errors="replace").strip()

    def click(self, x, y, window=None):
        tool(["xdotool", "mousemove", "--window", str(window or self.window), str(x), str(y), "click", "1"],
             self.display.env)

    def press(self, which):
        # The button measured from the window's lower right corner.
        self.click(self.width - (70 if which == "right" else 180), self.height - 30)

    def wait_screen(self, kind, timeout=WAIT):
        last = [None]

        def shows():
            check(self.process.poll() is None, "the program %s while waiting for the %s screen" % (self.state(), kind))
            last[0] = Screen(p) if (p := self.display.grab(self.window, quiet=True)) else last[0]
            return last[0] and last[0].kind == kind and last[0]

        return wait_until(shows, lambda: "the %s screen (last seen: %s)" % (kind, last[0]), timeout)

    def exits_on(self, which, what):
        self.press(which)
        rc = ended(self.process, "the program after %s" % what)
        check(rc == 0, "%s should end the program with 0, not %d" % (what, rc))


class Run:
    # One scenario's folders, displays, processes and clean-up.

    def __init__(self, options, name):
        self.options, self.name, self.displays, self.apps, self.sim = options, name, [], [], None
        self.folder = tempfile.mkdtemp(prefix="ktrq7-e2e-%s-" % name)
        self.link = os.path.join(self.folder, NAME)
        os.symlink(os.path.abspath(options.app), self.link)
        self.runtime = self.make("runtime")
        home = self.make("home")
        env = {k: v for k, v in os.environ.items() if k not in ("LC_ALL", "LC_MESSAGES", "DISPLAY")}
        self.env = dict(env, HOME=home, XDG_CONFIG_HOME=home, LANGUAGE="en", LANG="en_US.UTF-8",
                        XDG_RUNTIME_DIR=self.runtime, TMPDIR=self.make("tmp"),
                        KTRQ7_SIM_SOCKET=os.path.join(self.folder, "sim.sock"))

    def make(self, name):
        os.makedirs(path := os.path.join(self.folder, name), mode=0o700)
        return path

    def display(self):
        self.displays.append(Display())
        return self.displays[-1]

    def __enter__(self):
        return self.display() and self

    def __exit__(self, kind, error, trace):
        failed = kind is not None
        for i, picture in enumerate(d.grab(quiet=True) for d in self.displays if failed):
            if picture:
                self.save(picture, "%s_failure_%d.png" % (self.name, i))
        for process in [app.process for app in self.apps] + ([self.sim.process] if self.sim else []):
            stop(process)
        outputs = [(app.err, "program %d (%s)" % (i + 1, app.state())) for i, app in enumerate(self.apps)]
        outputs += [(self.sim.err, "simulator (exit %s)" % self.sim.process.poll())] if self.sim else []
        reported = any(re.search(rb"Sanitizer|runtime error:", read(err)) for err, _ in outputs)
        if failed or reported:
            if self.sim:
                tail = b"\n".join(read(self.sim.out).splitlines()[-40:]).decode(errors="replace")
                log("---- simulator's last lines ----\n" + tail)
            for err, what in outputs:
                log("---- %s stderr ----\n%s" % (what, read(err).decode(errors="replace")))
        for display in self.displays:
            stop(display.process, grace=10)
        log("kept %s" % self.folder) if self.options.keep else shutil.rmtree(self.folder, ignore_errors=True)
        check(failed or not reported, "sanitizer report in the output above")
        return False

    def save(self, picture, name):
        os.makedirs(self.options.out, exist_ok=True)
        tool(["convert", "ppm:-", "png:" + os.path.join(self.options.out, name)], data=picture.data)

    def write_update(self, size, folder=None, tag=b"TL382", name="ktrq7_v107.upd"):
        data = tag + os.urandom(15) + b"107" + os.urandom(size - 23)
        with open(os.path.join(folder or self.folder, name), "wb") as f:
            f.write(data)
        return data

    def start_sim(self, *args):
        self.sim = Simulator(self.options.sim, self.folder, ("--release", "0x0105") + args)
        return self.sim

    def start_app(self, argv=None, display=None, cwd=None, tag="app", **env):
        # A variable given as None is unset.
        env = {k: v for k, v in dict(self.env, **env).items() if v is not None}
        app = App(self, argv or [self.link], display or self.displays[0], cwd or self.folder, env,
                  "%s%d" % (tag, len(self.apps) + 1))
        self.apps.append(app)
        return app

    def to_ready(self, size, *sim_args):
        # An update file of this size, the device attached, and the program on its ready screen.
        data = self.write_update(size)
        sim = self.start_sim(*sim_args)
        app = self.start_app().find_window()
        sim.wait_line(r"connected$")
        app.wait_screen("language")
        app.press("right")
        app.wait_screen("ready")
        return data, sim, app


def completes(sim, app, data):
    # The transfer ends with the image of the file, the complete screen, and OK ending the program.
    sim.wait_line(r"finished crc=", TRANSFER)
    check(sim.said(r"finished crc=ok$"), "the simulator found the image's CRC wrong")
    app.wait_screen("complete")
    check(read(sim.image) == data, "the device's image differs from the update file")
    app.exits_on("right", "OK on the complete screen")


def list_items(picture):
    # (top, bottom) of each item of an open language list, from its rows of ink, and the index of the
    # highlighted item: a band of dark rows, which counts as one item.
    items = []
    for y in range(1, picture.height - 1):  # inside the pop-up's one-pixel frame
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
    popup = wait_until(lambda: app.display.windows("--pid", str(app.process.pid), "--name", "^menu$"),
                       "the language list to open")[0]
    seen = time.monotonic()

    picture = wait_until(lambda: (p := app.display.grab(popup, quiet=True)) and len(list_items(p)[0]) == 12 and p,
                         "the language list to show its 12 items")
    x, y = picture.width // 2, sum(list_items(picture)[0][index]) // 2
    # The list highlights the item under the pointer: that it is the wanted one proves the item's place.
    tool(["xdotool", "mousemove", "--window", str(popup), str(x), str(y)], app.display.env)
    wait_until(lambda: (p := app.display.grab(popup, quiet=True)) and list_items(p)[1] == index,
               "item %d of the language list to be highlighted" % index)
    # The framework ignores a release within 250 ms of the list's creation (so that the opening click's release picks
    # nothing); a person never clicks that soon, so neither does the test.
    time.sleep(max(0.0, seen + LIST_GUARD - time.monotonic()))
    # One click, never a second: a program that drops a click must fail here.
    tool(["xdotool", "mousemove", "--window", str(popup), str(x), str(y), "click", "1"], app.display.env)
    wait_until(lambda: not app.display.windows("--pid", str(app.process.pid), "--name", "^menu$"),
               "the language list to close")


def scenario_languages(run):
    run.start_sim()
    app = run.start_app().find_window()
    app.wait_screen("language")
    # Every language but the first, then back to the first, so that each pick is a change.
    for index in list(range(1, len(LANGUAGES))) + [0]:
        pick_language(app, index)
        expected = title_of(LANGUAGES[index])
        wait_until(lambda: app.title() == expected, lambda: "the title %r (it is %r)" % (expected, app.title()))
        run.save(app.wait_screen("language").picture, "lang_%s.png" % LANGUAGES[index])
    app.exits_on("left", "Cancel")


def scenario_update(run):
    # A short last chunk; the engine's tests check the requests of every size byte by byte. The device restarts as
    # soon as it has answered the last finish request, as real ones do: the answer must still count.
    size = 74565
    data, sim, app = run.to_ready(size, "--fault", "cmd=0xF2:3,unplug=after")
    run.save(app.wait_screen("ready").picture, "ready.png")
    app.press("right")
    sim.wait_line(r"unplugged$", TRANSFER)
    completes(sim, app, data)
    chunks = math.ceil(size / PAYLOAD)
    commands = [r[0] for r in sim.reports()]
    check(commands == [0xF0, 0xF1] + [0xF3] * chunks + [0xF2] * 4,
          "expected 1 start, 1 open, %d data and 4 finish requests, not %d requests" % (chunks, len(commands)))


def scenario_progress(run):
    size, chunk = 300000, 150
    # The device holds its reply to one chunk long enough for the bar to arrive at that chunk's share.
    data, sim, app = run.to_ready(size, "--fault", "chunk=%d,delay=20000" % chunk)
    app.press("right")
    sim.wait_line(r"report f3 %d$" % (chunk + 2), TRANSFER)  # reports 0 and 1: start and open
    expected, last = chunk / math.ceil(size / PAYLOAD), [None]

    def arrived():
        last[0] = app.wait_screen("updating")
        return abs(last[0].progress - expected) < 0.02 and last[0]

    screen = wait_until(arrived, lambda: "the bar to show %.3f done, not %.3f" % (expected, last[0].progress), 18)
    run.save(screen.picture, "progress.png")
    completes(sim, app, data)


def scenario_unplug_replug(run):
    chunk = 20
    _, sim, app = run.to_ready(100000, "--fault", "chunk=%d,unplug=instead,rearrive=300" % chunk)
    app.press("right")
    back = sim.wait_line(r"plugged$", after=sim.wait_line(r"unplugged$", TRANSFER) + 1)
    run.save(app.wait_screen("warning").picture, "error.png")
    check(not sim.said(r"finished"), "the transfer cannot finish without the chunk's reply")
    # A finish request reaches only a device that is there: none may be logged while it was away.
    check(all(i > back for i in sim.said(r"report f2 ")), "a finish request was logged while the device was away")
    commands = [r[0] for r in sim.reports()]
    check(commands[:chunk + 3] == [0xF0, 0xF1] + [0xF3] * (chunk + 1) and set(commands[chunk + 3:]) <= {0xF2},
          "the device should have seen the start, the open, %d chunks and then only finish requests" % (chunk + 1))
    app.exits_on("right", "OK on the error screen")


def scenario_sigint_during_data(run):
    # The device does not answer chunk 20: the worker waits out its long time-out unless the program ends.
    _, sim, app = run.to_ready(100000, "--fault", "chunk=20,noreply")
    app.press("right")
    mark = sim.wait_line(r"report f3 22$", TRANSFER)
    started = time.monotonic()
    app.process.send_signal(signal.SIGINT)
    check((rc := ended(app.process, "the program after SIGINT")) == 0, "after SIGINT it should end with 0, not %d" % rc)
    log("the program ended %.2fs after SIGINT" % (time.monotonic() - started))
    sim.wait_line(r"report f2 ", after=mark)


def scenario_start_paths(run):
    # The update file is looked for beside the name the program was started by, however it was started.
    run.start_sim()
    here, other = run.make("with_program"), run.make("elsewhere")
    link = os.path.join(here, NAME)
    os.symlink(os.path.abspath(run.options.app), link)
    run.write_update(3000, folder=here)
    # An invalid update file to be ignored, beside a file of the program's name that is not a program.
    run.write_update(3000, folder=other, tag=b"XX382", name="ktrq7_v999.upd")
    open(os.path.join(other, NAME), "w").close()
    path = os.pathsep.join([other, here, run.env["PATH"]])
    for what, argv, cwd, env in [("by name through PATH", [NAME], other, {"PATH": path}),
                                 ("through a relative link", [os.path.relpath(link, other)], other, {}),
                                 ("as ./name", ["./" + NAME], here, {}),
                                 ("by its absolute path", [link], other, {})]:
        log("started %s" % what)
        app = run.start_app(argv, cwd=cwd, **env).find_window()
        app.wait_screen("language")
        app.press("right")
        app.wait_screen("ready")
        app.exits_on("left", "Close started %s" % what)


def scenario_single_instance(run):
    run.start_sim()
    first = run.start_app().find_window()
    first.wait_screen("language")
    display = first.display

    def shows():
        # What the screen itself shows where the window lies: the window only if nothing covers it.
        picture = display.grab(quiet=True)
        return picture and Screen(crop(picture, first)).kind

    # A window above it: only a real move to the front brings it back on top.
    cover = run.start_app(["xmessage", "-name", "ktrq7-e2e-cover", "-geometry",
                           "600x300+%d+%d" % (max(0, first.x - 50), max(0, first.y - 50)), "covering"], tag="cover")
    covering = wait_until(lambda: display.windows("--classname", "^ktrq7-e2e-cover$"), "the covering window")[0]
    wait_until(lambda: shows() not in (None, "language"), "the covering window to hide the updater")

    # The same user on another display: refused there, and the running window comes forward.
    second = run.start_app(display=run.display())
    check(ended(second.process, "the second start") == 0, "the second start should end with 0")
    check(not read(second.err).strip(), "the second start was handed over and says nothing")
    wait_until(lambda: display.stacking().index(first.window) < display.stacking().index(covering),
               "the running window to come to the front")
    wait_until(lambda: shows() == "language", "the running window to show in front")
    stop(cover.process)

    # Killed, it leaves its lock file and socket behind: they refuse nothing.
    first.process.kill()
    first.process.wait()
    check(os.listdir(run.runtime), "the killed instance should have left its files")
    third = run.start_app().find_window()
    if os.geteuid() == 0:
        # Another user is neither refused by this user's instance nor by anything it left in a shared folder.
        # Without a runtime folder it claims in a private folder under TMPDIR: the run's own, so that another run's
        # instance of that user never refuses it.
        home = run.make("nobody")
        os.chmod(run.folder, 0o755)
        os.chmod(home, 0o777)
        other = run.start_app(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", run.link], HOME=home,
                              XDG_CONFIG_HOME=home, XDG_RUNTIME_DIR=None, TMPDIR=home, KTRQ7_SIM_SOCKET=home + "/none")
        other.find_window()
        check(os.path.exists(os.path.join(home, "%s-65534" % NAME, NAME + ".lock")),
              "without a runtime folder the claim should be in the private folder under TMPDIR")
        stop(other.process)
    stop(third.process)

    # An instance that holds the claim but never answers: the refused start says so.
    with open(os.path.join(run.runtime, NAME + ".lock"), "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        refused = run.start_app()
        check(ended(refused.process, "a start refused without an answer") == 0, "it should end with 0")
    message = read(refused.err).decode(errors="replace")
    check(len(message.splitlines()) == 1 and "did not answer" in message,
          "a start that reached no instance should say so in one line, not %r" % message)


def scenario_beside_another_instance(run):
    # An updater of another session (its own runtime folder) runs on the machine: this one is not refused.
    elsewhere = run.start_app(display=run.display(), XDG_RUNTIME_DIR=run.make("other_runtime")).find_window()
    app = run.start_app().find_window()
    app.wait_screen("language")
    app.press("right")
    app.wait_screen("warning")  # no update file: the file error
    app.exits_on("right", "OK on the file-error screen")
    check(elsewhere.process.poll() is None, "the other session's updater must go on running")


def crop(picture, app):
    # The part of a screenshot of the whole display where the app's window lies.
    rows = [picture.rgb[(app.y + y) * picture.width * 3 + app.x * 3:(app.y + y) * picture.width * 3 +
                        (app.x + app.width) * 3] for y in range(app.height)]
    return Picture(b"P6 %d %d 255\n" % (app.width, app.height) + b"".join(rows))


SCENARIOS = {name[len("scenario_"):]: f for name, f in globals().items() if name.startswith("scenario_")}


def main():
    parser = argparse.ArgumentParser(description="The updater end to end, one scenario.")
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    for name in ("--app", "--sim", "--out"):
        parser.add_argument(name, required=True, type=os.path.abspath)  # the processes run in their own folders
    parser.add_argument("--keep", action="store_true", help="keep the run's folder")
    options = parser.parse_args()
    started = time.monotonic()
    try:
        with Run(options, options.scenario) as run:
            SCENARIOS[options.scenario](run)
    except Failure as e:
        log("FAIL %s: %s" % (options.scenario, e))
        return 1
    log("PASS %s in %.1fs" % (options.scenario, time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
