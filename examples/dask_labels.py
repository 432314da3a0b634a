# Needs: pip install 'velkor[dask]'
# mypy: disable-error-code="no-untyped-call"
# (Dask's functions carry no annotations; velkor's calls are still checked.)
"""Inverse-dynamics labels for a large set of states with Dask: the states are a chunked
dask.array, each chunk is one batch call on a worker, and the robot travels to the workers by
pickling (its URDF document, options and settings).

    python examples/dask_labels.py [--states N] [--chunk C] [--address tcp://scheduler:8786]

Without an address it starts a LocalCluster of two worker processes on this machine; with one
it runs the same code on that cluster's workers.
"""

import argparse
import time

import dask.array as da
import numpy as np
import numpy.typing as npt
from dask.distributed import Client, LocalCluster, progress

import velkor
from velkor.samples import sample_path


def label_chunk(q: npt.NDArray[np.float64], qd: npt.NDArray[np.float64], qdd: npt.NDArray[np.float64],
                robot: velkor.Robot) -> npt.NDArray[np.float64]:
    """Joint forces for one chunk of states: one batch call, on the worker's own thread."""
    return robot.batch(threads=1).inverse_dynamics(q, qd, qdd)


def labels(client: Client, robot: velkor.Robot, states: int, chunk: int) -> npt.NDArray[np.float64]:
    n = robot.joint_count
    rng = da.random.default_rng(0)
    q, qd, qdd = (rng.uniform(-1.0, 1.0, size=(states, n), chunks=(chunk, n)) for _ in range(3))
    # pickled once per worker, under a key of its own: a second call would otherwise reuse the
    # key of the first one, which the scheduler may then release under the new tasks
    shipped = client.scatter(robot, broadcast=True, hash=False)
    tau = da.map_blocks(label_chunk, q, qd, qdd, robot=shipped, dtype=np.float64, chunks=(chunk, n))
    tau = tau.persist()
    progress(tau)
    result: npt.NDArray[np.float64] = tau.compute()
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--states", type=int, default=20_000)
    parser.add_argument("--chunk", type=int, default=10_000)
    parser.add_argument("--address", help="a running scheduler; default: a local cluster of 2 processes")
    args = parser.parse_known_args()[0]  # other arguments (a test runner's) are not ours
    robot = velkor.Robot(sample_path("arm"))
    with (Client(args.address) if args.address else
          Client(LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None))) as client:
        start = time.perf_counter()
        tau = labels(client, robot, args.states, args.chunk)
        elapsed = time.perf_counter() - start
    print(f"\n{tau.shape[0]} states labelled in {elapsed:.2f} s ({tau.shape[0] / elapsed:,.0f} states/s)")


if __name__ == "__main__":
    main()
