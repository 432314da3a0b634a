"""One machine: the Dask recipe of examples/dask_labels.py beside a batch in one process, on the
same states (inverse dynamics of the sample arm), alternated run by run in one process.

    python benchmarks/dask_vs_batch.py [--states N] [--chunk C] [--repeats R]

Rows:
  batch(threads=1 | 2)            the states already in this process's memory
  NumPy draw + batch(threads=2)   the whole job in one process: draw the states, label them
  Dask recipe                     labels() of the example, timed as the example times it: the
                                  states drawn on a LocalCluster of 2 worker processes (1 thread
                                  each), one batch(threads=1) call per chunk, the labels
                                  gathered by the client
  Dask, labels left on workers    the same graph reduced to one number on the workers, so no
                                  label travels: what the transfer of the labels costs
Starting the cluster is paid once per script run and printed apart. Prints the median and the
10th percentile of seconds per run, states per second and the ratio to batch(threads=2), and
the load average before and after (rerun when it is high: the machine has 2 cores).
"""

import argparse
import contextlib
import io
import os
import runpy
import statistics
import time
from pathlib import Path

import dask.array as da
import numpy as np
from dask.distributed import Client, LocalCluster

import velkor
from velkor.samples import sample_path

RECIPE = runpy.run_path(str(Path(__file__).parent.parent / "examples" / "dask_labels.py"))


def seconds(call) -> float:
    start = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):  # the recipe's progress bar
        call()
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--states", type=int, default=1_000_000)
    parser.add_argument("--chunk", type=int, default=10_000, help="Dask chunk rows (the example's default)")
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    print("load average before: %.2f %.2f %.2f" % os.getloadavg())
    robot = velkor.Robot(sample_path("arm"))
    N, n = args.states, robot.joint_count

    start = time.perf_counter()
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    client = Client(cluster)
    startup = time.perf_counter() - start

    # the very states the recipe draws on its workers, brought here once for the batches
    rng = da.random.default_rng(0)
    q, qd, qdd = (rng.uniform(-1.0, 1.0, size=(N, n), chunks=(args.chunk, n)).compute() for _ in range(3))
    one, two = robot.batch(threads=1), robot.batch(threads=2)
    out = np.empty((N, n))
    with contextlib.redirect_stdout(io.StringIO()):  # the recipe's progress bar
        labelled = RECIPE["labels"](client, robot, N, args.chunk)
    same = labelled.tobytes() == two.inverse_dynamics(q, qd, qdd).tobytes()
    del labelled

    def draw_and_label() -> None:
        local = np.random.default_rng(0)
        states = [local.uniform(-1.0, 1.0, (N, n)) for _ in range(3)]
        two.inverse_dynamics(*states)

    def left_on_workers() -> None:
        states = [da.random.default_rng(0).uniform(-1.0, 1.0, size=(N, n), chunks=(args.chunk, n)) for _ in range(3)]
        shipped = client.scatter(robot, broadcast=True, hash=False)  # as the recipe ships it
        tau = da.map_blocks(RECIPE["label_chunk"], *states, robot=shipped, dtype=np.float64, chunks=(args.chunk, n))
        tau.sum().compute()

    calls = {
        "batch(threads=1)": lambda: one.inverse_dynamics(q, qd, qdd, out=out),
        "batch(threads=2)": lambda: two.inverse_dynamics(q, qd, qdd, out=out),
        "NumPy draw + batch(threads=2)": draw_and_label,
        "Dask recipe": lambda: RECIPE["labels"](client, robot, N, args.chunk),
        "Dask, labels left on workers": left_on_workers,
    }
    samples: dict[str, list[float]] = {name: [] for name in calls}
    for r in range(args.repeats):
        for name, call in (calls.items() if r % 2 == 0 else reversed(calls.items())):
            samples[name].append(seconds(call))
    client.close()
    cluster.close()

    print(f"\nsample arm inverse dynamics, n={n}, {N:,} states, Dask chunks of {args.chunk:,} rows "
          f"({-(-N // args.chunk)} tasks), {args.repeats} repeats")
    print(f"LocalCluster(2 processes, 1 thread each) start: {startup:.2f} s (once per run of the script)")
    print(f"Dask labels == batch labels, bit for bit: {same}")
    reference = statistics.median(samples["batch(threads=2)"])
    print(f"  {'':<31} {'median s':>9} {'p10 s':>7} {'states/s':>11} {'x batch(2)':>11}")
    for name, values in samples.items():
        median, p10 = statistics.median(values), sorted(values)[len(values) // 10]
        print(f"  {name:<31} {median:9.3f} {p10:7.3f} {N / median:11,.0f} {median / reference:10.1f}x")
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
