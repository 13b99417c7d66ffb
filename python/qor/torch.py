"""PyTorch integration: a DistributedDataParallel communication hook that
averages each gradient bucket through qor.allreduce.

    import qor, qor.torch
    qor.init("-qor_legacy_allreduce 1 -cpu_only 1 -mode p")
    torch.distributed.init_process_group("gloo", ...)   # DDP's own set-up
    model = DistributedDataParallel(net)
    stats = qor.torch.register_ddp_hook(model)
    ...
    print(stats.seconds, stats.calls)

CPU tensors go with host-CPU mode, CUDA tensors with the GPU modes.
"""

import time

import torch

import qor


class HookState:
    """What the hook measured: seconds spent in qor.allreduce, calls and
    elements reduced."""

    def __init__(self):
        self.seconds = 0.0
        self.calls = 0
        self.elements = 0


def allreduce_avg_hook(state, bucket):
    """register_comm_hook's hook: the bucket's flat gradient averaged in place
    over all processes, returned as a completed future."""
    tensor = bucket.buffer()
    start = time.perf_counter()
    qor.allreduce(tensor, op="avg")
    if state is not None:
        state.seconds += time.perf_counter() - start
        state.calls += 1
        state.elements += tensor.numel()
    future = torch.futures.Future()
    future.set_result(tensor)
    return future


def register_ddp_hook(model, state=None):
    """Makes `model` (a DistributedDataParallel) average its gradients
    through qor; returns the HookState that collects the hook's timings."""
    state = HookState() if state is None else state
    model.register_comm_hook(state, allreduce_avg_hook)
    return state
