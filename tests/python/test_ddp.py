"""A real client trains the same: examples/train_ddp.py's model for a few
steps under DistributedDataParallel with qor.torch's hook and as DDP comes
(gloo), from the same seed.  Two processes: parameters equal bit for bit;
more: each parameter tensor within a relative 1e-6 in norm (the sums run in
another order).  A run without communication must miss that mark, and every
rank ends with rank 0's parameters.  Also the torch tensor checks of the
package."""
import importlib.util
import os
import sys

try:
    import torch
except ImportError as e:
    print(f"skipped: torch is not installed ({e})")
    sys.exit(77)

import qor
from harness import check, finish, raises

STEPS = 4
here = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location(
    "train_ddp", os.path.join(here, "..", "..", "examples", "train_ddp.py"))
example = importlib.util.module_from_spec(spec)
spec.loader.exec_module(example)


def train(hook, rank):
    run = example.Run(hook, seed=7)
    for step in range(STEPS):
        run.step(*example.batch(7, rank, step))
    return run.parameters()


def worst(a, b):
    """Largest relative difference ||a - b|| / ||b|| over the parameter tensors."""
    return max(((x - y).norm() / y.norm()).item() for x, y in zip(a, b))


def main():
    torch.set_num_threads(1)
    rank, size = example.start("-qor_legacy_allreduce 1 -cpu_only 1 -mode p")

    # Tensors: a CPU float sum in place; the refusals before the library.
    t = torch.full((6,), float(rank + 1))
    qor.allreduce(t)
    check(torch.equal(t, torch.full((6,), size * (size + 1) / 2)), f"tensor sum {t.tolist()}")
    m = torch.zeros(4, 2)
    for what, call, kind in [("int64", lambda: qor.allreduce(torch.ones(3, dtype=torch.int64)), TypeError),
                             ("transposed", lambda: qor.allreduce(m.t()), ValueError),
                             ("half on the host", lambda: qor.allreduce(torch.ones(3).half()), qor.QorError)]:
        why = raises(call, kind)
        check(not why, f"{what}: {why}")
    check(m.abs().sum().item() == 0, "a refused tensor changed")

    with_qor, plain, local = train("qor", rank), train("plain", rank), train("local", rank)
    initial = [p.detach() for p in example.build_model(7).parameters()]
    diff = worst(with_qor, plain)
    check(size != 2 or all(torch.equal(a, b) for a, b in zip(with_qor, plain)),
          f"qor and gloo differ at 2 processes (relative {diff:.3g})")
    check(diff <= 1e-6, f"qor and gloo differ by a relative {diff:.3g}")
    check(worst(local, plain) > 1e-6 and worst(with_qor, initial) > 1e-6,
          "the comparison cannot fail: training without communication, or none at all, passes")
    flat = torch.cat([p.flatten() for p in with_qor])
    root = flat.clone()
    qor.bcast(root, 0)
    check(torch.equal(flat, root), "ranks hold different parameters")

    example.dist.destroy_process_group()
    qor.finalize()
    return finish("test_ddp", f"{size} processes, {STEPS} steps, qor against gloo: relative {diff:.3g}; ")


if __name__ == "__main__":
    sys.exit(main())
