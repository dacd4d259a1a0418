#!/usr/bin/env python3
"""The real wardenlight.exe in the bench's bed, measured from Linux, where /proc shows what the
Unix processes under Wine cost: idle CPU with the dialog hidden, against icon_program.exe (one
window, one icon), and private memory over tree refreshes with the dialog shown. The Windows
side (catalogue, icons, dialog) is program_probe.exe.

usage: program_bench.py BUILD_DIR BED_DIR
WL_BENCH_REFRESHES="A B" reads the memory after A and B refreshes instead of 1 000 and 10 000
(each refresh of 21 services takes tens of milliseconds on an idle machine, seconds on a busy one).
Prints its figures and the RESULT lines that scripts/bench gathers; exits non-zero when a step
fails (not when a goal is missed)."""
import os
import subprocess
import sys
import time

IDLE_SECONDS = 60
SETTLE_SECONDS = 5
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
REFRESHES = [int(count) for count in os.environ.get("WL_BENCH_REFRESHES", "1000 10000").split()]


class Failure(Exception):
    pass


def bed_environment(bed):
    """The environment scripts/testbed gives the programs it runs in the bed."""
    listing = subprocess.run(["bash", "-c", '. "$0/env" && env -0', bed], check=True, capture_output=True).stdout
    return dict(entry.split("=", 1) for entry in listing.decode().split("\0") if "=" in entry)


def cpu_seconds(pid):
    """utime + stime of a process, all its threads, in seconds."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def anonymous_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("RssAnon:"):
                return int(line.split()[1])
    raise Failure(f"no RssAnon for process {pid}")


def command_name(pid):
    try:
        with open(f"/proc/{pid}/comm") as comm:
            return comm.read().strip()
    except OSError:
        return ""


class Bed:
    def __init__(self, build, bed):
        self.bin = os.path.join(build, "bin")
        self.env = bed_environment(bed)
        self.wineserver = self._wineserver(bed)

    @staticmethod
    def _wineserver(bed):
        with open(os.path.join(bed, "pids")) as pids:
            for line in pids:
                name, pid = line.split()
                if name == "wineserver" and command_name(pid).startswith("wineserver"):
                    return int(pid)
        raise Failure("the bed's wineserver is not running")

    def start(self, exe, *args):
        """Runs a program of the bin folder under wine; wine becomes the program's process."""
        return subprocess.Popen(["wine", os.path.join(self.bin, exe), *args], env=self.env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def probe(self, *args):
        done = subprocess.run(["wine", os.path.join(self.bin, "program_probe.exe"), *args], env=self.env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=3600)
        if done.returncode != 0:
            raise Failure(f"program_probe {' '.join(args)}: exit {done.returncode} {done.stdout}{done.stderr}")
        return done.stdout.strip()


class Running:
    """A program of the bin folder from start until its icon shows, to its end."""

    def __init__(self, bed, exe):
        self.bed, self.exe = bed, exe
        self.process = bed.start(exe)
        self.pid = self.process.pid
        bed.probe("icons", "1")
        # The loader's process takes the program's name once Wine runs it.
        if command_name(self.pid) != exe[:15]:
            raise Failure(f"process {self.pid} runs {command_name(self.pid)!r}, not {exe}")

    def end(self):
        if self.exe == "wardenlight.exe":
            subprocess.run(["wine", os.path.join(self.bed.bin, self.exe), "exit"], env=self.bed.env, check=True,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        else:
            self.bed.probe("close")
        if self.process.wait(timeout=60) != 0:
            raise Failure(f"{self.exe} ended with {self.process.returncode}")
        self.bed.probe("icons", "0")

    def __enter__(self):
        return self

    def __exit__(self, kind, value, trace):
        if kind is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def idle_share(bed, exe):
    """(program %, wineserver %) of one core over IDLE_SECONDS with the program idle."""
    with Running(bed, exe) as running:
        time.sleep(SETTLE_SECONDS)
        program0, server0, start = cpu_seconds(running.pid), cpu_seconds(bed.wineserver), time.monotonic()
        time.sleep(IDLE_SECONDS)
        program1, server1, elapsed = cpu_seconds(running.pid), cpu_seconds(bed.wineserver), time.monotonic() - start
        running.end()
    return 100 * (program1 - program0) / elapsed, 100 * (server1 - server0) / elapsed


def measure_idle(bed):
    print(f"program_bench: idle CPU over {IDLE_SECONDS} s, dialog hidden, utime+stime of the Unix processes "
          f"(resolution {1000 // CLOCK_TICKS} ms), % of one core")
    # The wineserver wakes every 16 ms whatever runs (its shared-time update), which alone costs
    # a few tenths of a percent and drifts with the machine's load: the baseline is measured
    # before and after the program and averaged.
    runs = [("icon_program.exe (baseline)", idle_share(bed, "icon_program.exe")),
            ("wardenlight.exe", idle_share(bed, "wardenlight.exe")),
            ("icon_program.exe (baseline)", idle_share(bed, "icon_program.exe"))]
    for name, (program, server) in runs:
        print(f"  {name:28} program {program:6.3f} %  wineserver {server:6.3f} %  together {program + server:6.3f} %")
    real = runs[1][1]
    base = [(runs[0][1][part] + runs[2][1][part]) / 2 for part in (0, 1)]
    figure, baseline = sum(real), sum(base)
    ratio = f"{figure / baseline:.2f}" if baseline > 0 else "n/a (baseline 0)"
    print(f"  against the baseline: {ratio}")
    # What the program adds: its own share and the wineserver's share above the baseline's.
    added = real[0] + real[1] - base[1]
    print(f"RESULT|idle CPU, program + wineserver, % of a core (goal absolute)|{figure:.3f} %|{baseline:.3f} %|"
          f"{figure:.3f}|0.10")
    print(f"RESULT|idle CPU added over the baseline, program + wineserver, % of a core (goal absolute)|"
          f"{added:.3f} %|{baseline:.3f} %|{added:.3f}|0.10")


def measure_memory(bed):
    print("program_bench: private memory (RssAnon of the Unix process) with the dialog shown")
    counts = [1] + REFRESHES
    with Running(bed, "wardenlight.exe") as running:
        bed.probe("show")
        figures = []
        for count, previous in zip(counts, [0] + counts):
            print("  " + bed.probe("refresh", str(count - previous)))
            figures.append(anonymous_kib(running.pid))
            print(f"  after {count:6} refreshes {figures[-1]:8} kB", flush=True)
        running.end()
    names = ["the first"] + [f"{count:,}".replace(",", " ") for count in REFRESHES]
    for index in range(1, len(counts)):
        print(f"RESULT|private memory (RssAnon), {names[index]} refreshes against {names[index - 1]}|"
              f"{figures[index]} kB|{figures[index - 1]} kB|{figures[index] / figures[index - 1]:.3f}|1.02")


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    bed = Bed(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]))
    catalogue = subprocess.Popen(["wine", os.path.join(bed.bin, "program_probe.exe"), "catalogue"], env=bed.env,
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        if catalogue.stdout.readline().strip() != "ready":
            raise Failure("the benchmark catalogue was not installed")
        measure_idle(bed)
        measure_memory(bed)
    except (Failure, OSError, subprocess.SubprocessError) as error:
        print(f"program_bench: {error}")
        return 1
    finally:
        catalogue.stdin.close()
        catalogue.wait(timeout=120)
    return 0 if catalogue.returncode == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
