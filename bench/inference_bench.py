"""How fast the residual network answers positions on this machine's CPU, and how close to the ceiling.

    python bench/inference_bench.py [--blocks 3] [--channels 16] [--batches 16 64 256] [--threads 1 2]

For each torch thread count, prints the ceiling (a large float32 matrix product's
rate, divided by the network's floating-point operations per position) and then,
per way of running the network and batch size, positions per second and the
largest difference from plain eager evaluation (results must agree within float
tolerance). The ways: eager under no_grad, under inference_mode, channels-last
memory, torch.compile, and ONNX Runtime (when onnxruntime and onnx are installed).
"""
from __future__ import annotations

import argparse
import io
import time

import numpy as np
import torch

from tilora_zero.networks.resnet import POLICY_HEAD_CHANNELS, VALUE_HEAD_HIDDEN, TiloraNet

CELLS = 400


def flops_per_position(blocks: int, channels: int) -> float:
    """Multiply-adds of one position, counted twice (a multiply and an add)."""
    macs = CELLS * 9 * 6 * channels  # stem: 6 input planes
    macs += blocks * 2 * CELLS * 9 * channels * channels
    macs += CELLS * channels * POLICY_HEAD_CHANNELS + POLICY_HEAD_CHANNELS * CELLS * CELLS
    macs += CELLS * channels + CELLS * VALUE_HEAD_HIDDEN + VALUE_HEAD_HIDDEN * 4
    return 2.0 * macs


def rate(run, seconds: float) -> float:
    """Calls per second of run(), after two warm-up calls."""
    run()
    run()
    calls, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        run()
        calls += 1
    return calls / (time.perf_counter() - start)


def matmul_gflops(seconds: float) -> float:
    a = torch.randn(1024, 1024)
    b = torch.randn(1024, 1024)
    return rate(lambda: a @ b, seconds) * 2 * 1024**3 / 1e9


def random_planes(batch: int) -> torch.Tensor:
    generator = torch.Generator().manual_seed(batch)
    return (torch.rand(batch, 5, 20, 20, generator=generator) < 0.2).float()


def ways(model: TiloraNet):
    """(name, make(batch) -> callable returning (policy, value) as numpy)."""

    def torch_way(net, mode=torch.inference_mode, memory_format=torch.contiguous_format):
        def make(batch):
            x = random_planes(batch).contiguous(memory_format=memory_format)

            def run():
                with mode():
                    p, v = net(x)
                return p.numpy(), v.numpy()
            return run
        return make

    last = TiloraNet(**model.architecture).eval()
    last.load_state_dict(model.state_dict())
    last = last.to(memory_format=torch.channels_last)

    yield "eager (no_grad)", torch_way(model, torch.no_grad)
    yield "inference_mode", torch_way(model)
    yield "channels_last", torch_way(last, memory_format=torch.channels_last)
    yield "torch.compile", torch_way(torch.compile(model))
    try:
        import onnxruntime
    except ImportError:
        return
    buffer = io.BytesIO()
    torch.onnx.export(model, (random_planes(2),), buffer, input_names=["planes"], output_names=["policy", "value"],
                      dynamic_axes={"planes": {0: "batch"}, "policy": {0: "batch"}, "value": {0: "batch"}},
                      dynamo=False)
    options = onnxruntime.SessionOptions()
    options.intra_op_num_threads = torch.get_num_threads()
    options.inter_op_num_threads = 1
    session = onnxruntime.InferenceSession(buffer.getvalue(), options, providers=["CPUExecutionProvider"])

    def onnx(batch):
        x = random_planes(batch).numpy()
        return lambda: tuple(session.run(None, {"planes": x}))

    yield "onnxruntime", onnx


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--blocks", type=int, default=3)
    parser.add_argument("--channels", type=int, default=16)
    parser.add_argument("--batches", type=int, nargs="+", default=[16, 64, 256])
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--seconds", type=float, default=1.5, help="timing per row")
    args = parser.parse_args()

    torch.manual_seed(0)
    model = TiloraNet(args.blocks, args.channels).eval()
    flops = flops_per_position(args.blocks, args.channels)
    print(f"network {args.blocks} x {args.channels}: {flops / 1e6:.2f} MFLOP per position")
    for threads in args.threads:
        torch.set_num_threads(threads)
        gflops = matmul_gflops(args.seconds)
        print(f"\ntorch threads {threads}: matrix product {gflops:.1f} GFLOP/s -> ceiling "
              f"{gflops * 1e9 / flops:,.0f} positions/s")
        print(f"{'way':<16} {'batch':>6} {'positions/s':>12} {'us/position':>12} {'of ceiling':>11} {'max diff':>9}")
        references = {}
        for name, make in ways(model):
            for batch in args.batches:
                run = make(batch)
                result = run()
                reference = references.setdefault(batch, result)
                diff = max(float(np.max(np.abs(np.asarray(a) - b))) for a, b in zip(result, reference))
                positions = rate(run, args.seconds) * batch
                print(f"{name:<16} {batch:>6} {positions:>12,.0f} {1e6 / positions:>12.1f} "
                      f"{positions * flops / (gflops * 1e9):>10.0%} {diff:>9.1e}")


if __name__ == "__main__":
    main()
