#!/usr/bin/env python3
"""Data-parallel training of a small MLP on synthetic data with PyTorch's
DistributedDataParallel, its gradients averaged by libqor (qor.torch's
communication hook) and, side by side from the same seed, by gloo.  Prints
the loss of each run per step and the time each spent in allreduce.

    mpiexec -n 2 --bind-to none python3 examples/train_ddp.py

Host-CPU legacy engine mode by default (--options).  DDP still needs a
process group for its own set-up: gloo, over a TCP address that rank 0
picks and broadcasts through qor.bcast (or MASTER_ADDR/MASTER_PORT)."""
import argparse
import os
import socket
import time

import torch
import torch.distributed as dist
from torch.nn.parallel import DistributedDataParallel

import qor
import qor.torch

FEATURES, HIDDEN, CLASSES = 32, 256, 10


def build_model(seed):
    torch.manual_seed(seed)
    return torch.nn.Sequential(
        torch.nn.Linear(FEATURES, HIDDEN), torch.nn.ReLU(),
        torch.nn.Linear(HIDDEN, HIDDEN), torch.nn.ReLU(),
        torch.nn.Linear(HIDDEN, CLASSES))


def batch(seed, rank, step, size=64):
    """This rank's batch of a step: inputs and the labels a fixed random
    linear teacher gives them."""
    teacher = torch.Generator().manual_seed(seed)
    weights = torch.randn(FEATURES, CLASSES, generator=teacher)
    data = torch.Generator().manual_seed(seed + 1 + 1000 * step + rank)
    x = torch.randn(size, FEATURES, generator=data)
    return x, (x @ weights).argmax(dim=1)


def start(options):
    """qor, then the gloo process group DDP sets itself up with; the rank
    and size come from Open MPI's environment."""
    qor.init(options)
    rank = int(os.environ["OMPI_COMM_WORLD_RANK"])
    size = int(os.environ["OMPI_COMM_WORLD_SIZE"])
    if "MASTER_ADDR" in os.environ and "MASTER_PORT" in os.environ:
        address = f"{os.environ['MASTER_ADDR']}:{os.environ['MASTER_PORT']}"
    else:
        text = bytearray(128)
        if rank == 0:
            with socket.socket() as s:  # a free port; gloo binds it next
                s.bind(("", 0))
                port = s.getsockname()[1]
            host = socket.gethostbyname(socket.gethostname())
            text[:] = f"{host}:{port}".encode().ljust(128, b"\0")
        qor.bcast(text, 0)
        address = text.rstrip(b"\0").decode()
    dist.init_process_group("gloo", init_method=f"tcp://{address}", rank=rank, world_size=size)
    return rank, size


class Run:
    """One DDP model and its optimiser; `hook` is "qor", "gloo" (gloo's
    allreduce in a timed hook of the default's arithmetic), "plain" (DDP as
    it comes) or "local" (no communication at all)."""

    def __init__(self, hook, seed, lr=0.05, bucket_cap_mb=0.1):
        self.model = DistributedDataParallel(build_model(seed), bucket_cap_mb=bucket_cap_mb)
        self.optimizer = torch.optim.SGD(self.model.parameters(), lr=lr, momentum=0.9)
        self.stats = qor.torch.HookState()
        if hook == "qor":
            qor.torch.register_ddp_hook(self.model, self.stats)
        elif hook in ("gloo", "local"):
            self.model.register_comm_hook(self.stats, gloo_hook if hook == "gloo" else local_hook)

    def step(self, x, y):
        self.optimizer.zero_grad()
        loss = torch.nn.functional.cross_entropy(self.model(x), y)
        loss.backward()
        self.optimizer.step()
        return loss.item()

    def parameters(self):
        return [p.detach().clone() for p in self.model.parameters()]


def gloo_hook(state, bucket):
    tensor = bucket.buffer()
    start_time = time.perf_counter()
    tensor.div_(dist.get_world_size())
    dist.all_reduce(tensor)
    state.seconds += time.perf_counter() - start_time
    state.calls += 1
    future = torch.futures.Future()
    future.set_result(tensor)
    return future


def local_hook(state, bucket):
    future = torch.futures.Future()
    future.set_result(bucket.buffer())
    return future


def mean_loss(loss, size):
    value = torch.tensor([loss], dtype=torch.float32)
    return qor.allreduce(value, op="avg").item() if size > 1 else loss


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--steps", type=int, default=10)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--threads", type=int, default=1, help="torch threads per process")
    parser.add_argument("--options", default="-qor_legacy_allreduce 1 -cpu_only 1 -mode p")
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    # MPI waits by polling; here it shares the cores with torch's and gloo's
    # threads, so it yields (OMPI_MCA_mpi_yield_when_idle=0 to poll).
    os.environ.setdefault("OMPI_MCA_mpi_yield_when_idle", "1")
    rank, size = start(args.options)
    runs = {name: Run(name, args.seed) for name in ("qor", "gloo")}
    first = {}
    for step in range(args.steps):
        x, y = batch(args.seed, rank, step)
        before = {name: run.stats.seconds for name, run in runs.items()}
        losses = {name: mean_loss(run.step(x, y), size) for name, run in runs.items()}
        spent = {name: run.stats.seconds - before[name] for name, run in runs.items()}
        first = first or spent
        if rank == 0:
            print(f"step {step}: loss " + "  ".join(f"{n} {v:.6f}" for n, v in losses.items()) +
                  "  | allreduce " + "  ".join(f"{n} {t * 1e3:7.3f} ms" for n, t in spent.items()),
                  flush=True)
    if rank == 0:
        for name, run in runs.items():
            s = run.stats
            later = (s.seconds - first[name]) / max(args.steps - 1, 1)
            print(f"{name}: {s.calls} bucket allreduces, {s.seconds * 1e3:.2f} ms in allreduce, "
                  f"{later * 1e3:.3f} ms per step after the first" +
                  (" (the first call tunes, with -mode p)" if name == "qor" else ""))
        same = all(torch.equal(a, b) for a, b in zip(runs["qor"].parameters(), runs["gloo"].parameters()))
        print(f"parameters of the two runs {'equal bit for bit' if same else 'differ'}")
    dist.destroy_process_group()
    qor.finalize()


if __name__ == "__main__":
    main()
