"""Memory held or allocated by a loop of velkor calls that write into `out=`.

    python benchmarks/allocations.py [--calls N]

Runs N (default 100000) calls cycling over every computing method benchmarked
in compare.py and derivatives.py, on a fixed-base handle (Panda, inverse
kinematics included) and a floating-base handle (Talos), after a warm-up of the
same loop. Reports:
  - tracemalloc: net growth of traced memory and of live traced blocks over the
    loop, the peak above the starting level (transient allocations), and the
    source lines that kept memory, if any;
  - the C heap in use (glibc mallinfo2: bytes in use, small and mmapped), which
    also sees native allocations that tracemalloc does not trace;
  - the process RSS from /proc/self/status before and after.
A loop that allocates nothing per call shows zero growth everywhere.
"""

import argparse
import ctypes
import gc
import itertools
import tracemalloc
from functools import partial

import numpy as np

import robots
from compare import velkor_calls
from derivatives import velkor_calls as derivative_calls


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


_mallinfo2 = ctypes.CDLL(None).mallinfo2
_mallinfo2.restype = _MallInfo2


def heap_in_use() -> int:
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def rss_kib() -> int:
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def mixed_calls() -> list:
    rng = np.random.default_rng(2)
    calls = []
    for label in ("Panda", "Talos (floating)"):
        s = robots.case(label)
        robot = robots.velkor_handle(s)
        calls += velkor_calls(robot, s, rng).values()
        calls += derivative_calls(robot, s, rng).values()
        if s.ik:
            tool = robot.link_id(s.tool)
            goal = np.array([0.0, -0.785, 0.0, -2.356, 0.0, 1.571, 0.785, 0.02, 0.02])  # inside the limits
            start = goal + np.r_[rng.uniform(-0.1, 0.1, 7), 0, 0]
            desired = robot.forward_kinematics(goal, tool)
            calls.append(partial(robot.inverse_kinematics, start, tool, desired, None, np.empty(robot.joint_count)))
    return calls


def run(calls: list, rounds: int) -> None:
    for _ in itertools.repeat(None, rounds):
        for call in calls:
            call()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--calls", type=int, default=100_000)
    args = parser.parse_args()

    calls = mixed_calls()
    rounds = max(args.calls // len(calls), 1)
    run(calls, rounds // 10 + 1)  # warm-up: first-use allocations happen here
    gc.collect()

    # Native side first, without tracemalloc (whose own tables live on the C heap).
    heap_before, rss_before = heap_in_use(), rss_kib()
    run(calls, rounds)
    heap_after, rss_after = heap_in_use(), rss_kib()

    tracemalloc.start(25)
    before = tracemalloc.take_snapshot()
    traced_before = tracemalloc.get_traced_memory()[0]
    tracemalloc.reset_peak()
    run(calls, rounds)
    traced_after, peak = tracemalloc.get_traced_memory()
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()

    # Blocks still alive that were allocated below the `call()` line of run(): the loop's own.
    in_loop = [tracemalloc.Filter(True, __file__, run.__code__.co_firstlineno + 3, all_frames=True)]
    diff = [d for d in after.filter_traces(in_loop).compare_to(before.filter_traces(in_loop), "traceback")
            if d.size_diff or d.count_diff]
    print(f"{rounds * len(calls)} mixed velkor calls with out= ({len(calls)} distinct calls on a Panda Robot "
          f"and a Talos FloatingRobot), twice: once untraced, once under tracemalloc")
    print(f"  tracemalloc: blocks kept by the loop {sum(d.count_diff for d in diff):+d} "
          f"({sum(d.size_diff for d in diff):+d} B); traced memory {traced_after - traced_before:+d} B overall, "
          f"peak {peak - traced_before} B above the start")
    for d in diff[:5]:
        print(f"    {d.traceback.format()[-1].strip()}: {d.count_diff:+d} blocks, {d.size_diff:+d} B")
    print(f"  C heap in use: {heap_before} B before, {heap_after} B after ({heap_after - heap_before:+d} B)")
    print(f"  RSS: {rss_before} KiB before, {rss_after} KiB after ({rss_after - rss_before:+d} KiB)")


if __name__ == "__main__":
    main()
