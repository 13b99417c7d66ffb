"""The qor Python package under mpiexec, in host-CPU legacy engine mode:
refusals before init, sums and averages of numpy buffers (plain and
asynchronous), broadcasts, queries, the checks that stop a buffer before the
library, and a failure of the library raised with its text."""
import array
import os
import sys

try:
    import numpy as np
except ImportError as e:
    print(f"skipped: numpy is not installed ({e})")
    sys.exit(77)

import qor
from harness import check, finish, raises

OPTIONS = "-qor_legacy_allreduce 1 -cpu_only 1 -mode p"


def main():
    x = np.ones(4, dtype=np.float32)
    for call in [qor.rank, qor.size, qor.local_rank, qor.local_size, qor.wait, qor.finalize,
                 lambda: qor.allreduce(x), lambda: qor.allreduce_async(x), lambda: qor.bcast(x, 0),
                 lambda: qor.get_key_value("e2e")]:
        check(not raises(call, qor.QorError, "call qor.init first"), f"before init: {call}")
    group = qor.generate_group_id()
    check(len(group) == 172 and group.strip("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                            "0123456789+/=") == "", f"group id {group!r}")
    check(not raises(lambda: qor.init(1), TypeError, "options must be a str"), "init(1)")
    why = raises(lambda: qor.init(OPTIONS + " -align_part abc"), qor.QorError,
                 'invalid value "abc" for -align_part option')
    check(not why, f"failed init: {why}")
    check(not qor.initialized(), "a failed init leaves qor uninitialized")

    with qor.init(OPTIONS):
        me, n = qor.rank(), qor.size()
        env = os.environ
        check((me, n, qor.local_rank(), qor.local_size()) ==
              tuple(int(env[f"OMPI_COMM_WORLD_{k}"]) for k in ("RANK", "SIZE", "LOCAL_RANK", "LOCAL_SIZE")),
              "rank, size, local rank and size")
        check(qor.get_key_value("device") == -1, "device in host-CPU mode")

        # Element i of rank r is (r + 1) * (i % 7 + 1): every sum is exact.
        def data(shape):
            i = np.arange(int(np.prod(shape)), dtype=np.float32).reshape(shape)
            return (me + 1) * (i % 7 + 1), n * (n + 1) / 2 * (i % 7 + 1)

        for shape in [(0,), (1,), (1001,), (300007,), (37, 3)]:
            for op in ["sum", "avg"]:
                for run in ["sync", "async"]:
                    mine, total = data(shape)
                    if op == "avg":
                        total = total.astype(np.float32) * np.float32(1.0 / n)
                    if run == "sync":
                        check(qor.allreduce(mine, op=op) is mine, "allreduce returns its buffer")
                    else:
                        qor.allreduce_async(mine, op=op)
                        why = raises(lambda: qor.allreduce(x), qor.QorError, "call qor.wait first")
                        check(not why, f"call while outstanding: {why}")
                        qor.wait()
                    check(np.array_equal(mine, total), f"{run} {op} of shape {shape}")
        check(qor.get_key_value("e2e") > 0, "e2e after an allreduce")
        plain = array.array("f", [me + 1.0] * 3)
        qor.allreduce(plain)
        check(list(plain) == [n * (n + 1) / 2] * 3, "a buffer that is not numpy")

        # Refused before the library: the buffer keeps its values.
        base = np.arange(8, dtype=np.float32)
        frozen = np.arange(8, dtype=np.float32)
        frozen.setflags(write=False)
        for what, call, kind, text in [
            ("float64", lambda: qor.allreduce(np.zeros(4)), TypeError, "dtype float64"),
            ("int32", lambda: qor.allreduce(base.view(np.int32)), TypeError, "dtype int32"),
            ("list", lambda: qor.allreduce([1.0]), TypeError, "not list"),
            ("strided", lambda: qor.allreduce(base[::2]), ValueError, "not contiguous"),
            ("Fortran order", lambda: qor.allreduce(np.asfortranarray(base.reshape(2, 4))),
             ValueError, "not contiguous"),
            ("read-only", lambda: qor.allreduce(frozen), ValueError, "read-only"),
            ("op", lambda: qor.allreduce(base, op="max"), ValueError, "op must be"),
            ("async op", lambda: qor.allreduce_async(base, op="prod"), ValueError, "op must be"),
            ("root", lambda: qor.bcast(base, n), ValueError, "root must be"),
            ("key", lambda: qor.get_key_value("speed"), ValueError, "unknown key"),
        ]:
            why = raises(call, kind, text)
            check(not why, f"refusal {what}: {why}")
        check(np.array_equal(base, np.arange(8)), "refused buffers untouched")

        # A failure of the library: host-CPU mode has no half sum.
        why = raises(lambda: qor.allreduce(np.ones(4, np.float16)), qor.QorError,
                     "qor_allreduce: host-CPU mode has no half-precision sum")
        check(not why, f"half in host-CPU mode: {why}")
        after, _ = data((5,))
        qor.allreduce(after)
        check(np.array_equal(after, data((5,))[1]), "allreduce after a failure")

        for root, buf, want in [
            (n - 1, np.full(5, me, np.float32), np.full(5, n - 1, np.float32)),
            (0, bytearray(b"rank%d" % me), bytearray(b"rank0")),
            (0, np.arange(3, dtype=np.int64) * (me + 1), np.arange(3)),
        ]:
            qor.bcast(buf, root)
            check(buf == want if isinstance(buf, bytearray) else np.array_equal(buf, want),
                  f"bcast {type(buf).__name__} from {root}")
    check(not qor.initialized(), "the with block finalizes")
    why = raises(lambda: qor.init(OPTIONS), qor.QorError, "MPI cannot start again")
    check(not why, f"init after finalize: {why}")

    return finish("test_package")


if __name__ == "__main__":
    sys.exit(main())
