"""Large arrays of a sweep's inputs placed once in shared memory.

The calling process pickles the inputs with `SharedPickler`: every NumPy
array of at least `MIN_BYTES` (the price frames' blocks, a daily weight
table, a stop table) is copied once into a shared-memory block and pickled
as the block's address. A worker unpickling them maps each block read-only,
so the price arrays are neither sent per task nor copied per worker: all
workers read the same physical pages.

When /dev/shm has no room for a block (containers often give it 64 MiB),
the block is a temporary file instead, mapped the same way: writing past the
end of a full tmpfs would kill the caller with SIGBUS.

Nothing is left behind, even when the caller is killed by SIGKILL and runs
no code. On Linux a block is a file in /dev/shm (or the temporary folder)
unlinked as soon as it is created: it has no name left to leak, and the
kernel frees it with the caller's descriptor and the workers' last mapping.
A worker, also one started late to replace a dead one, opens it through the
caller's descriptor (``/proc/<caller>/fd/<n>``). Where there is no /proc, a
block is a named POSIX shared-memory segment registered with
multiprocessing's resource tracker, which unlinks what is still registered
once every process holding its pipe (the caller, the fork server, the
workers: all end with the caller) has exited; a temporary file there is
named and removed by `SharedArena.close`.
"""

from __future__ import annotations

import errno
import io
import mmap
import os
import pickle
import tempfile
from multiprocessing import shared_memory

import numpy as np

MIN_BYTES = 1 << 16

try:  # functions defined in __main__ (a notebook, a script) travel by value
    import cloudpickle as _cloudpickle
    from cloudpickle import Pickler as _BasePickler
except ImportError:  # pragma: no cover - cloudpickle comes with dask and ray
    _cloudpickle = None
    from pickle import Pickler as _BasePickler

# Mappings a worker keeps alive for as long as its arrays may be used.
_ATTACHED: dict[str, mmap.mmap | shared_memory.SharedMemory] = {}

# Whether other processes can open this one's files by descriptor (Linux):
# the blocks are then unlinked at once.
BY_DESCRIPTOR = os.path.isdir("/proc/self/fd")


def _map_read_only(path: str) -> mmap.mmap:
    # A read-only mapping: a stray write faults instead of changing the
    # prices every other run sees.
    fd = os.open(path, os.O_RDONLY)
    try:
        return mmap.mmap(fd, 0, access=mmap.ACCESS_READ)
    finally:
        os.close(fd)


def attach(where: tuple[str, str], shape: tuple[int, ...], dtype: str, fortran: bool) -> np.ndarray:
    """A read-only array over a shared block or file (in a worker)."""
    kind, name = where
    held = _ATTACHED.get(name)
    if held is None:
        if kind == "file":
            held = _map_read_only(name)
        elif os.path.exists("/dev/shm/" + name):
            held = _map_read_only("/dev/shm/" + name)
        else:  # systems without /dev/shm: the block itself is kept (collected, it releases its buffer)
            held = shared_memory.SharedMemory(name, track=False)
        _ATTACHED[name] = held
    buf = held.buf if isinstance(held, shared_memory.SharedMemory) else held
    if buf is None:
        raise ValueError(f"where: expected an open shared block; found {name!r} closed")
    dt = np.dtype(dtype)
    count = int(np.prod(shape, dtype=np.int64))
    arr = np.frombuffer(buf, dtype=dt, count=count)
    arr = arr.reshape(shape, order="F" if fortran else "C")
    arr.flags.writeable = False
    return arr


def _shm_room(nbytes: int) -> bool:
    """Whether /dev/shm can take `nbytes` more with a margin to spare."""
    if not os.path.isdir("/dev/shm"):
        return True  # POSIX shared memory without a tmpfs of fixed size
    st = os.statvfs("/dev/shm")
    return st.f_bavail * st.f_frsize >= nbytes + nbytes // 8 + (32 << 20)


class SharedArena:
    """The shared blocks of one sweep, owned (and released) by the caller."""

    def __init__(self) -> None:
        self.blocks: list[shared_memory.SharedMemory] = []
        self.files: list[str] = []
        self.fds: list[int] = []  # the unlinked files' descriptors
        self._by_id: dict[int, tuple] = {}
        self._keep: list[np.ndarray] = []  # ids stay valid while memoised
        self.nbytes = 0

    def place(self, arr: np.ndarray) -> tuple:
        args = self._by_id.get(id(arr))
        if args is not None:
            return args
        fortran = arr.flags.f_contiguous and not arr.flags.c_contiguous
        data = arr.T if fortran else arr  # the bytes in C order either way
        room = _shm_room(arr.nbytes)
        if BY_DESCRIPTOR:
            where = ("file", self._unlinked_file(data, "/dev/shm" if room and os.path.isdir("/dev/shm") else None))
        elif room:
            shm = shared_memory.SharedMemory(create=True, size=arr.nbytes)
            self.blocks.append(shm)
            view = np.ndarray(data.shape, dtype=arr.dtype, buffer=shm.buf)
            view[...] = data
            del view
            where = ("shm", shm.name)
        else:
            fd, path = tempfile.mkstemp(prefix="torvex-sweep-", suffix=".bin")
            self.files.append(path)
            with os.fdopen(fd, "wb") as f:
                np.ascontiguousarray(data).tofile(f)
            where = ("file", path)
        args = (where, arr.shape, arr.dtype.str, fortran)
        self._by_id[id(arr)] = args
        self._keep.append(arr)
        self.nbytes += arr.nbytes
        return args

    def _unlinked_file(self, data: np.ndarray, folder: str | None) -> str:
        """`data`'s bytes in a file of `folder` (None: the temporary folder)
        that has no name: the path by which other processes open it."""
        fd, path = tempfile.mkstemp(prefix="torvex-sweep-", suffix=".bin", dir=folder)
        os.unlink(path)
        self.fds.append(fd)
        try:
            with os.fdopen(fd, "wb", closefd=False) as f:
                np.ascontiguousarray(data).tofile(f)
        except OSError as exc:
            # /dev/shm filled up since it was measured (another process):
            # write() says so, where a mapping would have faulted.
            if folder is None or exc.errno != errno.ENOSPC:
                raise
            self.fds.remove(fd)
            os.close(fd)
            return self._unlinked_file(data, None)
        return f"/proc/{os.getpid()}/fd/{fd}"

    def dumps(self, obj: object) -> bytes:
        out = io.BytesIO()
        SharedPickler(out, self).dump(obj)
        return out.getvalue()

    def close(self) -> None:
        for shm in self.blocks:
            try:
                shm.close()
            except BufferError:  # pragma: no cover - a view still exported
                pass
            try:
                shm.unlink()
            except FileNotFoundError:
                pass
        self.blocks.clear()
        for path in self.files:
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass
        self.files.clear()
        for fd in self.fds:
            os.close(fd)
        self.fds.clear()
        self._by_id.clear()
        self._keep.clear()


class SharedPickler(_BasePickler):
    def __init__(self, file, arena: SharedArena) -> None:
        super().__init__(file, protocol=pickle.HIGHEST_PROTOCOL)
        self._arena = arena

    def reducer_override(self, obj):
        if type(obj) is np.ndarray and obj.dtype.kind in "biufcmM" and obj.nbytes >= MIN_BYTES:
            return attach, self._arena.place(obj)
        if _cloudpickle is not None:
            return super().reducer_override(obj)
        return NotImplemented


def dumps(obj: object) -> bytes:
    """Pickle `obj` for another process, callables of __main__ by value."""
    if _cloudpickle is not None:
        return _cloudpickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL)
    return pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL)
