"""Internal faults during a call: a guarded fault is a PanicError and leaves the
handle usable; a fault that escapes with the lock held poisons the handle."""

import numpy as np
import pytest
from peers import TESTING

import velkor

hooks = pytest.importorskip("_velkor_testing", reason=TESTING)


@pytest.fixture
def arm(arm_path):
    return velkor.Robot(arm_path)


@pytest.mark.parametrize("common", [False, True], ids=["general path", "common call"])
@pytest.mark.parametrize("use_out", [False, True])
def test_fault_in_a_computation_is_a_panic_error(arm, use_out, common):
    out = np.zeros(7 * arm.link_count) if use_out else None
    with pytest.raises(velkor.PanicError) as info:
        hooks.fault_in_computation(arm, out, common)
    assert info.value.args == ("core fault during a computation",)
    # not poisoned, and the write hold on out was released
    q = np.zeros(arm.joint_count)
    expected = arm.forward_kinematics_all(q)
    if use_out:
        assert arm.forward_kinematics_all(q, out=out) is out
        assert np.array_equal(out, expected)


def test_poisoned_handle_refuses_everything(arm):
    fork = arm.fork()
    with pytest.raises(BaseException) as info:
        hooks.poison(arm)
    assert not isinstance(info.value, Exception)
    message = "robot workspace lock is poisoned"
    calls = [lambda: arm.name, lambda: arm.link_count, arm.close, arm.fork, arm.__enter__,
             lambda: arm.__exit__(None, None, None), lambda: arm.link_id("base"),
             lambda: arm.set_base_frame(velkor.Pose()),
             lambda: arm.forward_kinematics_all(np.zeros(7)),
             lambda: arm.forward_kinematics(np.zeros(7), 0)]
    for call in calls:
        with pytest.raises(velkor.PanicError) as error:
            call()
        assert error.value.args == (message,)
    # a fork has its own lock and stays usable
    assert fork.forward_kinematics(np.zeros(7), 0) == velkor.Pose()
