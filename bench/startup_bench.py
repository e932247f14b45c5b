#!/usr/bin/env python3
"""Start-up to the first painted frame, and peak memory, of the updater against a minimal JUCE window.

Run under a display (e.g. xvfb-run -a) after building:
    xvfb-run -a python3 bench/startup_bench.py build/normal
Each program is started RUNS times; the time runs from the start of the process until its window shows the
background colour, and the peak resident memory (VmHWM) is read once the window has painted and settled.
Prints medians and the ratios updater / minimal window, the window once with JUCE's own font lookup and once
finding its font through fontconfig like the updater.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

RUNS = int(os.environ.get("RUNS", "10"))
BACKGROUND = "EAEAEA"


def window_of(pid_name, deadline):
    while time.monotonic() < deadline:
        out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", pid_name],
                             capture_output=True, text=True).stdout.split()
        if out:
            return out[0]
        time.sleep(0.005)
    return None


def painted(window):
    # One pixel inside the content, clear of any text or widget.
    # import can wait on a window that is not viewable yet; such a look counts as not painted.
    try:
        out = subprocess.run(["import", "-window", window, "-crop", "1x1+8+100", "txt:-"],
                             capture_output=True, text=True, timeout=2).stdout
    except subprocess.TimeoutExpired:
        return False
    return BACKGROUND in out.upper()


def measure(command, title, env):
    executable = command[0]
    start = time.monotonic()
    proc = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = start + 30
        window = window_of(title, deadline)
        if window is None:
            raise RuntimeError(f"{executable}: no window")
        while not painted(window):
            if time.monotonic() > deadline:
                raise RuntimeError(f"{executable}: never painted")
        elapsed = time.monotonic() - start
        time.sleep(0.5)
        with open(f"/proc/{proc.pid}/status") as status:
            hwm = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
        return elapsed, hwm
    finally:
        proc.kill()
        proc.wait()


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/normal"
    updater = os.path.abspath(os.path.join(build, "App", "KTR-Q7UpdateProgram"))
    minimal = os.path.abspath(os.path.join(build, "bench", "minimal_window"))
    with tempfile.TemporaryDirectory() as home:
        # A runtime folder of its own: an updater already running for this user would refuse the measured one.
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"), LANGUAGE="en",
                   XDG_RUNTIME_DIR=home)
        env.pop("KTRQ7_SIM_SOCKET", None)
        results = {}
        programs = (("updater", [updater], "Updater Program"), ("minimal", [minimal], "MinimalWindow"),
                    ("minimal+fc", [minimal, "--system-fonts"], "MinimalWindow"))
        for name, command, title in programs:
            runs = [measure(command, title, env) for _ in range(RUNS)]
            results[name] = (statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs))
            print(f"{name:10s} first paint {results[name][0] * 1000:7.1f} ms   "
                  f"peak memory {results[name][1] / 1024:6.1f} MiB")
    for base in ("minimal", "minimal+fc"):
        print(f"updater / {base:10s} first paint {results['updater'][0] / results[base][0]:.2f} (goal <= 1.3)   "
              f"peak memory {results['updater'][1] / results[base][1]:.2f} (goal <= 1.2)")


if __name__ == "__main__":
    main()
