"""Fuzzing campaign of the engine for a fixed time, surviving every crash.

Two jobs run side by side until the time is up:

- coverage: libFuzzer (through atheris) on the normal build, growing the
  corpus by Python-level coverage; a crash it finds is written by libFuzzer
  itself and the job is restarted;
- sanitizer: the same target on the AddressSanitizer + UBSan build, running
  the corpus and random mutations of it (libFuzzer's coverage does not work
  next to the sanitizer runtime); each input is written to disk before it
  runs, so a process ended by a sanitizer report or a signal leaves it behind,
  and the job is restarted.

Each finding is kept in the findings folder with a minimised copy (bytes that
still end the process the same way) and the printed case (`--show`).

    python fuzz/run.py --duration 1800 --normal .venv/bin/python \\
        --sanitizer .venv-sanitize/bin/python --out build-fuzz
"""

import argparse
import glob
import hashlib
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TARGET = os.path.join(HERE, "target.py")


def sanitizer_env():
    def lib(name):
        return subprocess.run(["g++", f"-print-file-name={name}"], capture_output=True, text=True).stdout.strip()

    return dict(
        LD_PRELOAD=f"{lib('libasan.so')} {lib('libstdc++.so')}",
        PYTHONMALLOC="malloc",
        # An allocation past 4 GiB fails (MemoryError) instead of exhausting the machine.
        ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:allocator_may_return_null=1:max_allocation_size_mb=4096",
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1",
    )


class Job:
    def __init__(self, name, python, env, out):
        self.name, self.python, self.out = name, os.path.abspath(python), out
        self.env = dict(os.environ, TZ="UTC", **env)
        self.proc = None
        self.restarts = 0
        self.totals = {"cases": 0, "calls": 0}
        self.stats = os.path.join(out, f"stats-{name}.json")
        self.current = os.path.join(out, f"current-{name}")
        self.log = os.path.join(out, f"{name}.log")

    def start(self, seconds):
        self.env["TORVEX_FUZZ_STATS"] = self.stats
        if os.path.exists(self.stats):
            os.remove(self.stats)
        if self.name == "coverage":
            cmd = [
                self.python,
                TARGET,
                f"-max_total_time={max(1, int(seconds))}",
                "-timeout=60",
                "-rss_limit_mb=6000",
                "-max_len=4096",
                f"-artifact_prefix={os.path.join(self.out, 'findings', 'coverage-')}",
                os.path.join(self.out, "corpus"),
            ]
        else:
            cmd = [
                self.python,
                TARGET,
                "--mutate",
                os.path.join(self.out, "corpus"),
                str(seconds),
                self.current,
                str(self.restarts),
            ]
        self.started = time.monotonic()
        self.proc = subprocess.Popen(cmd, env=self.env, stdout=open(self.log, "ab"), stderr=subprocess.STDOUT, cwd=HERE)

    def collect(self):
        try:
            with open(self.stats) as f:
                s = json.load(f)
        except (OSError, ValueError):
            s = {"cases": 0, "calls": 0}
        for k in self.totals:
            self.totals[k] += s.get(k, 0)


def limit_memory():
    """Address space of a replay on the normal build: 8 GiB, so that a case that
    asks for too much fails with MemoryError instead of exhausting the machine.
    (The sanitizer build limits single allocations through ASAN_OPTIONS.)"""
    import resource

    resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))


def reproduces(python, env, data, timeout=120):
    """The return code of one run of `data`, or 'hang'."""
    path = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"fuzz-min-{os.getpid()}")
    with open(path, "wb") as f:
        f.write(data)
    try:
        p = subprocess.run(
            [python, TARGET, "--run", path],
            env=env,
            capture_output=True,
            timeout=timeout,
            cwd=HERE,
            preexec_fn=None if "LD_PRELOAD" in env else limit_memory,
        )
        return p.returncode
    except subprocess.TimeoutExpired:
        return "hang"


def minimise(python, env, data, budget):
    """Smaller inputs that still end with the same return code, within `budget` s."""
    want = reproduces(python, env, data)
    if want == 0:
        return data, want
    end = time.monotonic() + budget
    chunk = max(1, len(data) // 2)
    while chunk >= 1 and time.monotonic() < end:
        i, changed = 0, False
        while i < len(data) and time.monotonic() < end:
            trial = data[:i] + data[i + chunk :]
            if trial and reproduces(python, env, trial, max(5, min(120, end - time.monotonic()))) == want:
                data, changed = trial, True
            else:
                i += chunk
        if not changed:
            chunk //= 2
    return data, want


def keep_finding(job, data, reason, findings, minimise_budget):
    digest = hashlib.sha1(data).hexdigest()[:16]
    base = os.path.join(findings, f"{job.name}-{digest}")
    if os.path.exists(base):
        return None
    with open(base, "wb") as f:
        f.write(data)
    small, code = minimise(job.python, job.env, data, minimise_budget)
    with open(base + ".min", "wb") as f:
        f.write(small)
    try:
        show = subprocess.run(
            [job.python, TARGET, "--show", base + ".min"],
            env=job.env,
            capture_output=True,
            text=True,
            timeout=120,
            cwd=HERE,
            preexec_fn=None if "LD_PRELOAD" in job.env else limit_memory,
        )
        shown, errors = show.stdout, show.stderr[-20000:]
    except subprocess.TimeoutExpired:
        shown, errors = "", "(hangs)"
    alone = "reproduces alone" if code != 0 else "does not reproduce alone"
    with open(base + ".txt", "w") as f:
        f.write(f"{reason}; replay ends with {code} ({alone})\n\n{shown}\n{errors}")
    return base


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--duration", type=float, default=60)
    ap.add_argument("--normal", default=None, help="python of the normal build")
    ap.add_argument("--sanitizer", default=None, help="python of the sanitizer build")
    ap.add_argument("--out", default="build-fuzz")
    ap.add_argument("--minimise", type=float, default=60, help="seconds per finding")
    a = ap.parse_args()
    out = os.path.abspath(a.out)
    findings = os.path.join(out, "findings")
    os.makedirs(os.path.join(out, "corpus"), exist_ok=True)
    os.makedirs(findings, exist_ok=True)
    jobs = []
    if a.normal:
        jobs.append(Job("coverage", a.normal, {}, out))
    if a.sanitizer:
        jobs.append(Job("sanitizer", a.sanitizer, sanitizer_env(), out))
    begin = time.monotonic()
    deadline = begin + a.duration
    found = []
    for j in jobs:
        j.start(a.duration)
    while any(j.proc for j in jobs):
        time.sleep(1)
        for j in jobs:
            if j.proc is not None and j.proc.poll() is None and time.monotonic() > deadline + 60:
                j.proc.kill()  # past its time: a case that hangs ends here
                j.proc.wait()
                j.collect()
                j.proc = None
                continue
            if j.proc is None or j.proc.poll() is None:
                continue
            rc = j.proc.returncode
            j.collect()
            left = deadline - time.monotonic()
            if rc != 0:
                if j.name == "coverage":
                    new = [p for p in glob.glob(os.path.join(findings, "coverage-*")) if "." not in os.path.basename(p)]
                    for p in new:
                        with open(p, "rb") as f:
                            data = f.read()
                        os.remove(p)
                        kept = keep_finding(j, data, f"libFuzzer ended with {rc}", findings, a.minimise)
                        if kept:
                            found.append(kept)
                elif os.path.exists(j.current):
                    with open(j.current, "rb") as f:
                        data = f.read()
                    kept = keep_finding(j, data, f"process ended with {rc}", findings, a.minimise)
                    if kept:
                        found.append(kept)
                print(
                    f"[{time.monotonic() - begin:7.0f}s] {j.name}: ended with {rc}; findings so far {len(found)}",
                    flush=True,
                )
            j.proc = None
            if left > 5:
                j.restarts += 1
                j.start(left)
    elapsed = time.monotonic() - begin
    summary = {
        "seconds": round(elapsed),
        "findings": found,
        "jobs": {j.name: dict(j.totals, restarts=j.restarts) for j in jobs},
        "corpus": len(os.listdir(os.path.join(out, "corpus"))),
    }
    with open(os.path.join(out, "summary.json"), "w") as f:
        json.dump(summary, f, indent=1)
    print(json.dumps(summary, indent=1))
    sys.exit(1 if found else 0)


if __name__ == "__main__":
    main()
