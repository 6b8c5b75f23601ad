"""What bench/icons, bench/clips and bench/shipped share: running a command or a
pipeline under GNU time (wall time, peak memory, exit status, the first line of
what a failing tool said), the median of several runs, PSNR, butteraugli on
composited pictures, and README-ready markdown tables.

Every file these helpers write goes into the work folder they are given."""

import math
import os
import shutil
import signal
import statistics
import subprocess
import sys
import time

import numpy as np
from PIL import Image

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
KXQUANT = os.path.join(BUILD, "kxquant")
TIMEOUT = 900  # seconds for any single command or pipeline


def kxquant_help():
    """kxquant's usage text, so that a benchmark can use an option once it exists."""
    try:
        return subprocess.run([KXQUANT, "--help"], capture_output=True, text=True,
                              timeout=30).stdout
    except (OSError, subprocess.TimeoutExpired):
        return ""


def kxquant_has(option):
    return any(word.rstrip(",") == option for word in kxquant_help().split())


# ---- Running tools ---------------------------------------------------------------------


class Result:
    """One run of a tool: wall seconds (None when it did not finish), peak MB,
    status, the first line its failing process wrote to standard error, and the
    CPU seconds (user + system) of its processes, which say more than the wall
    time on a machine busy with other work."""

    def __init__(self, seconds, peak_mb, status, message="", cpu=float("nan")):
        self.seconds, self.peak_mb, self.status, self.message = seconds, peak_mb, status, message
        self.cpu = cpu

    @property
    def ok(self):
        return self.seconds is not None and self.status == 0

    def cell(self):
        """'fails: <first line>' for a failed run (a markdown-safe table cell)."""
        if self.seconds is None:
            return cell_text(f"fails: timeout after {TIMEOUT} s")
        return cell_text(f"fails: {self.message or 'status %s' % self.status}")


def cell_text(text, limit=90):
    text = " ".join(text.split()).replace("|", "\\|")
    return text if len(text) <= limit else text[:limit - 1] + "…"


class Runner:
    """Runs commands with their GNU time files and standard error in `work`."""

    def __init__(self, work, env=None):
        self.work = os.path.abspath(os.path.join(work, "runs"))
        os.makedirs(self.work, exist_ok=True)
        self.env = dict(os.environ, **(env or {}))
        self.last_peaks = []  # the peak MB of each process of the last pipeline

    def pipeline(self, commands, cwd=None, stdout=None):
        """Runs `commands` (argument lists) as one shell-less pipeline, each process
        under GNU time. Peak memory is the sum of the processes' peaks (they run
        at the same time); the status and message are those of the last process
        that failed (a downstream failure makes the upstream ones fail too)."""
        procs, files = [], []
        start = time.perf_counter()
        prev = None
        try:
            for i, cmd in enumerate(commands):
                tfile = os.path.join(self.work, f"time{i}.txt")
                efile = os.path.join(self.work, f"stderr{i}.txt")
                last = i == len(commands) - 1
                err = open(efile, "wb")
                out = (stdout or subprocess.DEVNULL) if last else subprocess.PIPE
                # A process group of its own, so that a timeout ends the tool and
                # not only GNU time.
                p = subprocess.Popen(["/usr/bin/time", "-f", "%M %U %S", "-o", tfile] + list(cmd),
                                     stdin=prev.stdout if prev else subprocess.DEVNULL,
                                     stdout=out, stderr=err, cwd=cwd, env=self.env,
                                     process_group=0)
                err.close()
                if prev:
                    prev.stdout.close()  # only the next process holds the pipe
                procs.append(p)
                files.append((tfile, efile))
                prev = p
        except OSError as e:
            end_all(procs)
            return Result(0.0, 0.0, 127, f"{commands[len(procs)][0]}: {e.strerror}")
        deadline = start + TIMEOUT
        timed_out = False
        try:
            for p in procs:
                p.wait(timeout=max(1.0, deadline - time.perf_counter()))
        except subprocess.TimeoutExpired:
            timed_out = True
            end_all(procs)
        except BaseException:  # Ctrl-C: the tools are not in the terminal's group
            end_all(procs)
            raise
        elapsed = time.perf_counter() - start
        if timed_out:
            return Result(None, None, "timeout")
        status, message = 0, ""
        usage = [read_time_file(tfile) for tfile, _ in files]
        self.last_peaks = [u[0] for u in usage]
        for p, (tfile, efile) in zip(procs, files):
            if p.returncode != 0:
                status, message = p.returncode, first_line(efile)
        return Result(elapsed, sum(u[0] for u in usage), status, message,
                      sum(u[1] for u in usage))

    def steps(self, steps, cwd=None):
        """Runs steps one after the other; each step is a pipeline (a list of
        argument lists) or a function returning one (for arguments that exist only
        after an earlier step, such as extracted frames). Times add up, the peak is
        the largest; stops at the first failing step."""
        total, peak, cpu = 0.0, 0.0, 0.0
        for step in steps:
            commands = step() if callable(step) else step
            r = self.pipeline(commands, cwd=cwd)
            if r.seconds is None:
                return r
            total += r.seconds
            peak = max(peak, r.peak_mb)
            cpu += r.cpu
            if r.status != 0:
                return Result(total, peak, r.status, r.message, cpu)
        return Result(total, peak, 0, "", cpu)


def end_all(procs):
    """Kills every process group of a pipeline and waits for them."""
    for p in procs:
        try:
            os.killpg(p.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    for p in procs:
        p.wait()


def read_time_file(tfile):
    """(peak MB, CPU seconds) from GNU time's "%M %U %S" line."""
    try:
        with open(tfile) as f:
            rss, user, system = f.read().strip().splitlines()[-1].split()
        return float(rss) / 1024.0, float(user) + float(system)
    except (OSError, ValueError, IndexError):
        return float("nan"), float("nan")


def first_line(path):
    try:
        with open(path, errors="replace") as f:
            for line in f:
                if line.strip():
                    return line.strip()
    except OSError:
        pass
    return ""


def fresh_copies(folder, files):
    """The files copied into `folder`, made empty first (a tool working on a
    set in one command writes beside them); their names there."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    names = []
    for f in files:
        shutil.copyfile(f, os.path.join(folder, os.path.basename(f)))
        names.append(os.path.basename(f))
    return names


def median_runs(run, runs):
    """Runs `run` (returning a Result) `runs` times; the result with the median
    time and the largest peak, or the first failure."""
    results = []
    for _ in range(max(1, runs)):
        r = run()
        if not r.ok:
            return r
        results.append(r)
    seconds = statistics.median(r.seconds for r in results)
    return Result(seconds, max(r.peak_mb for r in results), 0, "",
                  statistics.median(r.cpu for r in results))


def seconds_cell(r, digits=2):
    """'wall (CPU)' seconds of a run, or its failure."""
    return f"{r.seconds:.{digits}f} ({r.cpu:.{digits}f})" if r.ok else r.cell()


# ---- Measures ---------------------------------------------------------------------------


def mse(a, b):
    d = a.astype(np.float64) - b.astype(np.float64)
    return float(np.mean(d * d))


def psnr_of_mse(m):
    """PSNR in dB; identical pictures count as 99 dB so that means stay finite."""
    return 99.0 if m <= 1e-10 else min(99.0, 10 * math.log10(255.0 * 255.0 / m))


def psnr(a, b):
    return psnr_of_mse(mse(a, b))


def load_rgba(path):
    return np.asarray(Image.open(path).convert("RGBA"))


def load_rgb(path):
    return np.asarray(Image.open(path).convert("RGB"))


def composite(rgba, background):
    """RGBA over a plain background (0 black, 255 white), rounded to 8 bits, as a
    viewer shows it."""
    a = rgba[..., 3:4].astype(np.float64) / 255.0
    rgb = rgba[..., :3].astype(np.float64)
    return np.clip(np.rint(rgb * a + background * (1.0 - a)), 0, 255).astype(np.uint8)


def alpha_levels(rgba):
    return int(np.unique(rgba[..., 3]).size)


class Butteraugli:
    """Debian's butteraugli: `butteraugli A.png B.png` prints one distance (the
    largest over the picture; lower is better, about 1 is barely visible)."""

    def __init__(self, work):
        self.a = os.path.join(work, "ba-a.png")
        self.b = os.path.join(work, "ba-b.png")

    def __call__(self, a_rgb, b_rgb):
        Image.fromarray(a_rgb).save(self.a, compress_level=1)
        Image.fromarray(b_rgb).save(self.b, compress_level=1)
        out = subprocess.run(["butteraugli", self.a, self.b], capture_output=True, text=True,
                             timeout=TIMEOUT)
        try:
            return float(out.stdout.split()[0])
        except (IndexError, ValueError):
            return float("nan")


def worse_of_white_and_black(original, result, butteraugli):
    """(PSNR, butteraugli) of RGBA `result` against `original`, each the worse of
    the composite over white and over black."""
    p, b = [], []
    for bg in (255, 0):
        o, r = composite(original, bg), composite(result, bg)
        p.append(psnr(o, r))
        b.append(butteraugli(o, r))
    return min(p), max(b)


# ---- Installing and reporting -----------------------------------------------------------


def missing_packages(packages):
    return [p for p in packages
            if "install ok installed" not in subprocess.run(
                ["dpkg-query", "-W", "-f=${Status}", p], capture_output=True, text=True).stdout]


def install(packages, who):
    """Installs the Debian packages that are missing (as root), else says which."""
    missing = missing_packages(packages)
    if not missing:
        return
    if os.geteuid() != 0:
        sys.exit(f"{who} needs: {' '.join(missing)} (sudo apt-get install -y {' '.join(missing)})")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends"] + missing,
                   check=True, env=env, stdout=subprocess.DEVNULL)


def table(headers, rows, right=None):
    """A markdown table; columns listed in `right` (indices) are right-aligned
    (by default every column but the first two)."""
    right = set(range(2, len(headers))) if right is None else set(right)
    lines = ["| " + " | ".join(headers) + " |",
             "|" + "|".join("---:" if i in right else "---" for i in range(len(headers))) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    print("\n".join(lines) + "\n")
    sys.stdout.flush()


def fmt(value, digits=2):
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return ""
    return f"{value:.{digits}f}"


def ratio(a, b, digits=2):
    """a / b as text, empty when either is missing."""
    if a is None or b is None or b == 0 or any(isinstance(x, float) and math.isnan(x)
                                                for x in (a, b)):
        return ""
    return f"{a / b:.{digits}f}"


def mean(values):
    values = [v for v in values if v is not None and not math.isnan(v)]
    return statistics.mean(values) if values else float("nan")
