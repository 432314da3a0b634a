# Needs: pip install velkor
"""Threads with forks: parallel inverse dynamics over many states.

Calls on one handle are serialised by its lock; forks share the model and have their own
workspace and lock, so threads computing on different forks run in parallel (the interpreter
lock is released during each computation).
"""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import numpy.typing as npt

import velkor
from velkor.samples import sample_path


def torques(robot: velkor.FloatingRobot, states: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Inverse dynamics at rest for each row of joint positions, the base still at the origin."""
    base = velkor.BaseState()
    out = np.empty((len(states), robot.generalized_count))
    zeros = np.zeros(robot.joint_count)
    for row, q in zip(out, states):
        robot.inverse_dynamics(base, q, zeros, zeros, out=row)
    return out


def main() -> None:
    robot = velkor.FloatingRobot(sample_path("quadruped"))
    rng = np.random.default_rng(0)
    states = np.array([robot.random_configuration(rng) for _ in range(2000)])

    workers = 2
    forks = [robot.fork() for _ in range(workers)]
    chunks = np.array_split(states, workers)
    with ThreadPoolExecutor(workers) as pool:
        parts = list(pool.map(torques, forks, chunks))
    result = np.concatenate(parts)

    assert np.array_equal(result, torques(robot, states))  # the same numbers, bit for bit
    print(f"{len(result)} states on {workers} forks; base force at rest (N):", np.round(result[0, 3:6], 3))


if __name__ == "__main__":
    main()
