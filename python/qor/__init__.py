"""libqor from Python: sums or averages buffers across the processes of a
data-parallel job, in place, through the C library (ctypes, no compiled
code of its own).

    import numpy as np, qor
    with qor.init("-qor_legacy_allreduce 1 -cpu_only 1 -mode p"):
        x = np.arange(8, dtype=np.float32)
        qor.allreduce(x, op="avg")

Buffers are contiguous, writable float32 or float16 arrays: numpy arrays or
anything else with the buffer protocol (host memory, for host-CPU mode), or
torch tensors (CPU tensors in host-CPU mode, CUDA tensors on the library's
device in the GPU modes).  Misuse raises TypeError, ValueError or QorError
before anything reaches the library; a call the library fails raises
QorError with the text the library wrote.

The library is found in $QOR_LIBRARY (the path of libqor.so.1), else in the
lib folders of the prefix this package is installed into and of Python's
prefix, else through the dynamic loader (LD_LIBRARY_PATH, ldconfig).
"""

import ctypes
import os
import re
import sys
import sysconfig

__version__ = "1.5.1"
__all__ = [
    "QorError", "init", "finalize", "initialized", "rank", "size", "local_rank", "local_size",
    "allreduce", "allreduce_async", "wait", "bcast", "get_key_value", "generate_group_id",
    "library_path",
]


class QorError(RuntimeError):
    """A call out of order (before init, during an asynchronous request), or
    a call the library answered with a failure."""


_FLOAT, _HALF, _BYTE = 0, 1, 2
_OPS = {"sum": 0, "avg": 1}
# Key name -> (QOR_Key, C type of its value).
_KEYS = {
    "e2e": (0, ctypes.c_double),
    "jitter": (1, ctypes.c_double),
    "bw_dim0": (2, ctypes.c_double),
    "bw_dim1": (3, ctypes.c_double),
    "bw_dim2": (4, ctypes.c_double),
    "bw_dim3": (5, ctypes.c_double),
    "device": (6, ctypes.c_int),
}
_INT_MAX = 2**31 - 1

_lib = None
_path = None
_initialized = False
_device = -1      # QOR_KEY_DEVICE after init: -1 in host-CPU mode
_pending = None   # (buffer holder, object) of the outstanding asynchronous request
_finalized = False


def _candidates():
    explicit = os.environ.get("QOR_LIBRARY")
    if explicit:
        return [explicit]
    # <prefix>/lib/pythonX.Y/site-packages/qor (or <prefix>/local/lib/...):
    # the folders above this one, then Python's own prefixes.
    prefixes, folder = [], os.path.dirname(os.path.abspath(__file__))
    for _ in range(5):
        folder = os.path.dirname(folder)
        prefixes.append(folder)
    prefixes += [sys.prefix, sys.base_prefix, "/usr/local"]
    libdirs = ["lib", "lib64"]
    if sysconfig.get_config_var("MULTIARCH"):
        libdirs.append(os.path.join("lib", sysconfig.get_config_var("MULTIARCH")))
    found = [os.path.join(p, d, "libqor.so.1") for p in prefixes for d in libdirs]
    return [f for f in found if os.path.isfile(f)] + ["libqor.so.1"]


def _load():
    global _lib, _path
    if _lib is not None:
        return _lib
    tried = []
    for path in _candidates():
        try:
            # Global: Open MPI's plugins resolve MPI's names through it.
            lib = ctypes.CDLL(path, mode=ctypes.RTLD_GLOBAL)
        except OSError as e:
            tried.append(f"{path} ({e})")
            continue
        _path = path
        break
    else:
        raise QorError("libqor.so.1 not found; install it (cmake --install BUILD --prefix P) "
                       "or set QOR_LIBRARY to its path. Tried: " + "; ".join(tried))
    c_int, c_void_p, c_size_t = ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t
    p_int = ctypes.POINTER(c_int)
    for name, args in {
        "qor_init": [ctypes.c_char_p], "qor_finalize": [], "qor_wait": [],
        "qor_generate_group_id": [ctypes.c_char_p],
        "qor_allreduce": [c_void_p, c_size_t, c_int, c_int],
        "qor_allreduce_async": [c_void_p, c_size_t, c_int, c_int],
        "qor_rank": [p_int], "qor_size": [p_int], "qor_local_rank": [p_int],
        "qor_local_size": [p_int], "qor_bcast": [c_void_p, c_int, c_int, c_int],
        "qor_get_key_value": [c_int, c_void_p],
    }.items():
        fn = getattr(lib, name)
        fn.argtypes, fn.restype = args, c_int
    lib.qor_last_error.argtypes, lib.qor_last_error.restype = [], ctypes.c_char_p
    _lib = lib
    return lib


def library_path():
    """The path libqor was loaded from (loading it if need be)."""
    _load()
    return _path


def _call(name, *args):
    lib = _load()
    lib.qor_last_error()  # forget text of earlier calls
    if getattr(lib, name)(*args) != 0:
        text = lib.qor_last_error().decode(errors="replace")
        # Trace lines lose their time, process and source line prefix.
        text = re.sub(r"(?m)^[EWF] [0-9:.]+ +[0-9]+ [0-9]+ QOR:[0-9 ]*\] ", "", text).strip()
        raise QorError(f"{name} failed: " + (text or "the library wrote no error text"))


def _require(func, outstanding_ok=False):
    if not _initialized:
        raise QorError(f"qor.{func}: qor is not initialized (call qor.init first)")
    if _pending is not None and not outstanding_ok:
        raise QorError(f"qor.{func}: an asynchronous allreduce is outstanding (call qor.wait first)")


class _Buffer:
    """Address, element count and QOR_Type of a buffer, after the checks."""

    def __init__(self, func, x, any_type=False):
        self.holder = None
        if hasattr(x, "data_ptr") and hasattr(x, "is_contiguous"):  # a torch tensor
            self._tensor(func, x, any_type)
        else:
            self._host(func, x, any_type)
        if self.on_device != (_device >= 0):
            where = "a CUDA tensor" if self.on_device else "host memory"
            want = "device memory (CUDA tensors)" if _device >= 0 else "host memory"
            raise ValueError(f"qor.{func}: {where} passed, but this mode takes {want}")

    def _tensor(self, func, x, any_type):
        name = str(x.dtype).replace("torch.", "")
        self.type = {"float32": _FLOAT, "float16": _HALF}.get(name, _BYTE if any_type else None)
        if self.type is None:
            raise TypeError(f"qor.{func}: dtype {name} is not supported (float32 or float16)")
        if not x.is_contiguous():
            raise ValueError(f"qor.{func}: the tensor is not contiguous")
        self.on_device = x.device.type != "cpu"
        if self.on_device and x.device.index not in (None, _device):
            raise ValueError(f"qor.{func}: the tensor is on {x.device}, the library on device {_device}")
        self.ptr = x.data_ptr()
        self.count = x.numel() * (x.element_size() if self.type == _BYTE else 1)

    def _host(self, func, x, any_type):
        try:
            view = memoryview(x)
        except TypeError:
            raise TypeError(f"qor.{func}: expected a numpy array, a torch tensor or another buffer, "
                            f"not {type(x).__name__}") from None
        fmt = view.format.lstrip("@=" + ("<" if sys.byteorder == "little" else ">"))
        self.type = {"f": _FLOAT, "e": _HALF}.get(fmt, _BYTE if any_type else None)
        if self.type is None:
            name = getattr(x, "dtype", f"format '{view.format}'")
            raise TypeError(f"qor.{func}: dtype {name} is not supported (float32 or float16)")
        if not view.c_contiguous:
            raise ValueError(f"qor.{func}: the buffer is not contiguous (C order)")
        if view.readonly:
            raise ValueError(f"qor.{func}: the buffer is read-only")
        self.on_device = False
        self.count = view.nbytes // (1 if self.type == _BYTE else view.itemsize)
        # The holder keeps the buffer exported (so not resized or freed) while
        # the library uses it; an empty buffer gets an address of its own.
        self.holder = (ctypes.c_char * view.nbytes).from_buffer(view) if view.nbytes \
            else ctypes.create_string_buffer(1)
        self.ptr = ctypes.addressof(self.holder)


class _Session:
    """What init returns: a context manager that finalizes on exit."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if _initialized:
            finalize()
        return False


def init(options=""):
    """Starts the library (qor_init) with its option text, e.g.
    "-qor_legacy_allreduce 1 -cpu_only 1 -mode p" for host-CPU legacy engine
    mode, "" for one NCCL allreduce per call.  Note: the library ends the
    process on an option key it does not know.  Usable as a context manager."""
    global _initialized, _device
    if not isinstance(options, str):
        raise TypeError(f"qor.init: options must be a str, not {type(options).__name__}")
    if _pending is not None:
        raise QorError("qor.init: an asynchronous allreduce is outstanding (call qor.wait first)")
    if _finalized and "qor_worker_count" not in options:
        # qor_finalize ended MPI, and MPI cannot start twice in a process.
        raise QorError("qor.init: MPI cannot start again after qor.finalize in this process "
                       "(only the MPI-less mode, -qor_worker_count ..., can)")
    _call("qor_init", options.encode())
    _initialized = True
    _device = get_key_value("device")
    return _Session()


def finalize():
    """Waits for an outstanding request and shuts the library down, MPI
    included where it runs (it cannot start again in this process)."""
    global _initialized, _pending, _finalized
    _require("finalize", outstanding_ok=True)
    _initialized, _pending, _finalized = False, None, True
    _call("qor_finalize")


def initialized():
    return _initialized


def _query(func):
    _require(func)
    value = ctypes.c_int(-1)
    _call("qor_" + func, ctypes.byref(value))
    return value.value


def rank():
    """Rank of this process in the job."""
    return _query("rank")


def size():
    """Number of processes in the job."""
    return _query("size")


def local_rank():
    """Rank of this process on its host."""
    return _query("local_rank")


def local_size():
    """Number of processes of the job on this host."""
    return _query("local_size")


def _op(func, op):
    if op not in _OPS:
        raise ValueError(f"qor.{func}: op must be 'sum' or 'avg', not {op!r}")
    return _OPS[op]


def allreduce(x, op="sum"):
    """Sums (op="sum") or averages (op="avg") x across the processes, in
    place; returns x."""
    _require("allreduce")
    code = _op("allreduce", op)
    buf = _Buffer("allreduce", x)
    _call("qor_allreduce", buf.ptr, buf.count, buf.type, code)
    return x


def allreduce_async(x, op="sum"):
    """Starts allreduce(x, op) on the library's worker thread; x must not be
    touched, and no other qor function called, until qor.wait() returns."""
    global _pending
    _require("allreduce_async")
    code = _op("allreduce_async", op)
    buf = _Buffer("allreduce_async", x)
    _call("qor_allreduce_async", buf.ptr, buf.count, buf.type, code)
    _pending = (buf, x)


def wait():
    """Waits for the outstanding asynchronous allreduce, if any; raises
    QorError when it failed (the worker wrote why on standard error)."""
    global _pending
    _require("wait", outstanding_ok=True)
    _pending = None
    _call("qor_wait")


def bcast(x, root=0):
    """Broadcasts x from process `root` to all, in place; returns x.  Any
    element type: other than float32/float16 it travels as bytes."""
    _require("bcast")
    n = size()
    if not isinstance(root, int) or not 0 <= root < n:
        raise ValueError(f"qor.bcast: root must be a rank from 0 to {n - 1}, not {root!r}")
    buf = _Buffer("bcast", x, any_type=True)
    if buf.count > _INT_MAX:
        raise ValueError(f"qor.bcast: {buf.count} elements, at most {_INT_MAX} in one call")
    _call("qor_bcast", buf.ptr, buf.count, buf.type, root)
    return x


def get_key_value(key):
    """One of the library's figures: "e2e" (seconds of the last allreduce),
    "jitter", "bw_dim0".."bw_dim3" (GB/s per topology dimension) as float,
    "device" (CUDA device, -1 in host-CPU mode) as int."""
    _require("get_key_value")
    if key not in _KEYS:
        raise ValueError(f"qor.get_key_value: unknown key {key!r}; keys: {', '.join(_KEYS)}")
    number, ctype = _KEYS[key]
    value = ctype()
    _call("qor_get_key_value", number, ctypes.byref(value))
    return value.value


def generate_group_id():
    """A new group identifier (172 characters) for the MPI-less start mode
    (-qor_group_id); usable before init."""
    text = ctypes.create_string_buffer(173)
    _call("qor_generate_group_id", text)
    return text.value.decode()
