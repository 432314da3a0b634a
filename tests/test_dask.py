"""The Dask recipe of examples/dask_labels.py on a LocalCluster of two worker processes: every
label equals the single call on its state, bit for bit."""

import runpy
from pathlib import Path

import dask.array as da
import numpy as np
import pytest
from dask.distributed import Client, LocalCluster

import velkor
from velkor.samples import sample_path

SCRIPT = Path(__file__).parent.parent / "examples" / "dask_labels.py"


def example():
    return runpy.run_path(str(SCRIPT))  # the script's functions, without running its main


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as c:
        yield c


def test_labels_on_two_worker_processes(client):
    robot = velkor.Robot(sample_path("arm"))
    robot.gravity_vector = (0.1, 0.0, -9.7)  # a setting that must travel with the robot
    tau = example()["labels"](client, robot, states=4000, chunk=700)
    rng = da.random.default_rng(0)
    q, qd, qdd = (rng.uniform(-1.0, 1.0, size=(4000, robot.joint_count), chunks=(700, robot.joint_count)).compute()
                  for _ in range(3))
    single = np.array([robot.inverse_dynamics(*state) for state in zip(q, qd, qdd)])
    assert tau.tobytes() == single.tobytes()
    assert len(client.scheduler_info()["workers"]) == 2
