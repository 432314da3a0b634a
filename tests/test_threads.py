"""Handles used from several threads: shared handles, forks, a shared output array and closing
while others compute. Every result is compared exactly with a single-threaded run."""

import threading

import numpy as np
import pytest

from velkor import BaseState, FloatingRobot, Pose, Robot

CALLS = 300
FRAME = Pose([0.3, -0.1, 0.8], [0.1, 0.2, -0.3, 0.9])
QS = np.random.default_rng(11).uniform(-3, 3, (CALLS, 7))


def make(cls, path):
    robot = cls(path)
    if cls is Robot:
        robot.set_base_frame(FRAME)  # forks copy it
        return robot, lambda r, q, out=None: r.forward_kinematics_all(q, out)
    state = BaseState(frame=FRAME)
    return robot, lambda r, q, out=None: r.forward_kinematics_all(state, q, out)


def run_threads(workers, timeout=60):
    errors = []

    def wrap(work):
        try:
            work()
        except BaseException as error:  # reported on the main thread
            errors.append(error)

    threads = [threading.Thread(target=wrap, args=(w,), daemon=True) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout)
    assert not any(t.is_alive() for t in threads), "a thread is stuck"
    if errors:
        raise errors[0]


@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_shared_handle_and_forks_give_exact_results(arm_path, cls):
    robot, fk_all = make(cls, arm_path)
    expected = [fk_all(robot, q) for q in QS]
    handles = [robot] * 4 + [robot.fork() for _ in range(4)]

    def worker(handle, seed):
        def work():
            out = np.empty(63)
            for i in np.random.default_rng(seed).permutation(CALLS):
                result = fk_all(handle, QS[i], out if i % 2 else None)
                assert np.array_equal(result, expected[i]) and (result is out) == bool(i % 2)
        return work

    run_threads([worker(h, seed) for seed, h in enumerate(handles)])


def test_forks_writing_one_out_array(arm_path):
    robot, fk_all = make(Robot, arm_path)
    q = QS[0]
    expected = fk_all(robot, q)
    out = np.empty(63)
    outcomes = []

    def work(handle):
        def run():
            for _ in range(CALLS):
                try:
                    result = fk_all(handle, q, out)
                except ValueError as error:
                    assert str(error) == "The given array is already borrowed"
                    outcomes.append("refused")
                else:
                    assert result is out
                    outcomes.append("written")
        return run

    run_threads([work(robot.fork()) for _ in range(4)])
    assert len(outcomes) == 4 * CALLS and "written" in outcomes
    assert np.array_equal(out, expected)
    assert fk_all(robot, q, out) is out  # no hold left behind


@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_closing_while_others_compute(arm_path, cls):
    robot, fk_all = make(cls, arm_path)
    expected = [fk_all(robot, q) for q in QS]
    progress = threading.Event()
    closed_seen = []

    def worker():
        closed = False
        for i in range(CALLS):
            try:
                result = fk_all(robot, QS[i])
            except RuntimeError as error:
                assert type(error) is RuntimeError and str(error) == "robot is closed"
                closed = True
            else:
                assert not closed, "a closed handle computed again"
                assert np.array_equal(result, expected[i])
                if i == 20:
                    progress.set()
        closed_seen.append(closed)

    def closer():
        progress.wait(30)  # close while the workers are busy, most of the time
        assert robot.close() is None

    run_threads([worker] * 4 + [closer])
    assert len(closed_seen) == 4
    with pytest.raises(RuntimeError, match="^robot is closed$"):
        robot.link_count
