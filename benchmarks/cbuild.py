"""Compiling the benchmarks' C++ helpers once per source.

A helper is built with g++ into the temp dir under a name carrying a hash of
its source (and of whatever else the build depends on), so later runs reuse
it; the build goes to a temporary file renamed into place, so a concurrent run
sees all of it or nothing.
"""

import hashlib
import os
import subprocess
import tempfile

OUT_DIR = os.path.join(tempfile.gettempdir(), "torvex-bench-floor")


def build_shared(src, stem, suffix=".so", flags=(), salt=b""):
    """Path of the shared object built from ``src``, or (None, reason)."""
    with open(src, "rb") as f:
        digest = hashlib.sha256(f.read() + salt).hexdigest()[:16]
    lib = os.path.join(OUT_DIR, f"{stem}-{digest}{suffix}")
    if os.path.exists(lib):
        return lib, None
    os.makedirs(OUT_DIR, exist_ok=True)
    fd, tmp = tempfile.mkstemp(suffix=suffix, dir=OUT_DIR)
    os.close(fd)
    cmd = ["g++", "-O2", "-std=c++20", "-shared", "-fPIC", src, "-o", tmp, *flags]
    try:
        p = subprocess.run(cmd, capture_output=True, text=True)
    except OSError as e:
        os.unlink(tmp)
        return None, f"g++ not runnable: {e}"
    if p.returncode != 0:
        os.unlink(tmp)
        return None, "g++ failed: " + (p.stderr.strip().splitlines() or ["?"])[-1]
    os.replace(tmp, lib)
    return lib, None
