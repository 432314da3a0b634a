"""Joint vectors in, pose arrays out: which inputs are accepted, how `out` is checked, and how
arrays shared between arguments are refused."""

import math

import numpy as np
import pytest

from velkor import BaseState, FloatingRobot, Robot

Q = [1, -2, 0, 3, 1, -1, 2]  # exactly representable in every dtype used below; Q[0] == True
N = 63  # 9 links, 7 numbers each


def strided(values, step):
    view = np.full(len(values) * abs(step), np.nan)[::step]
    view[:] = values
    return view


def unaligned(values):
    view = np.frombuffer(bytearray(8 * len(values) + 1), dtype=np.float64, count=len(values), offset=1)
    view[:] = values
    assert not view.flags.aligned
    return view


def read_only(values):
    array = np.array(values, dtype=np.float64)
    array.flags.writeable = False
    return array


@pytest.fixture
def arm(arm_path):
    return Robot(arm_path)


def call(robot, q, out=None):
    if isinstance(robot, FloatingRobot):
        return robot.forward_kinematics_all(BaseState(), q, out)
    return robot.forward_kinematics_all(q, out=out)


@pytest.mark.parametrize("make_q", [
    list, tuple, lambda v: [np.float32(x) for x in v], lambda v: [True, *v[1:]],
    lambda v: np.array(v, np.float64), lambda v: np.array(v, np.float32), lambda v: np.array(v, np.int64),
    lambda v: np.array(v, np.int8), lambda v: np.array(v, ">f8"), lambda v: strided(v, 2),
    lambda v: strided(v, -1), lambda v: strided(v, -3), unaligned, read_only,
], ids=["list", "tuple", "float32_items", "bool_item", "float64", "float32", "int64", "int8", "big_endian",
        "every_second", "reversed", "reversed_step_3", "unaligned", "read_only"])
@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_equivalent_inputs_give_identical_results(arm_path, cls, make_q):
    robot = cls(arm_path)
    expected = call(robot, np.array(Q, dtype=np.float64))
    q = make_q(Q)
    result = call(robot, q)
    assert np.array_equal(result, expected)
    assert result.dtype == np.float64 and result.shape == (N,) and result.flags.c_contiguous
    assert result.flags.writeable and result.flags.owndata


@pytest.mark.parametrize("q", [np.zeros((2, 3)), np.zeros((7, 1)), np.zeros((1, 7)), [[0.0] * 7], 1.0, 7,
                               "1234567", None], ids=repr)
def test_not_a_vector(arm, q):
    with pytest.raises(TypeError, match="'q'"):
        arm.forward_kinematics_all(q)
    with pytest.raises(TypeError, match="'q'"):
        arm.forward_kinematics(q, 0)


def fresh_out():
    return np.full(N, -7.0)


@pytest.mark.parametrize("make_out, error, message", [
    (lambda: np.zeros(N - 1), ValueError, f"out must contain exactly {N} elements"),
    (lambda: np.zeros(N + 1), ValueError, f"out must contain exactly {N} elements"),
    (lambda: np.zeros(0), ValueError, f"out must contain exactly {N} elements"),
    (lambda: read_only(fresh_out()), ValueError, "The given array is not writeable"),
    (lambda: strided(fresh_out(), 2), ValueError, "out must be a contiguous float64 array"),
    (lambda: strided(fresh_out(), -1), ValueError, "out must be a contiguous float64 array"),
    (lambda: unaligned(fresh_out()), ValueError, "out must be a contiguous float64 array"),
    (lambda: fresh_out().astype(np.float32), TypeError, None),
    (lambda: fresh_out().astype(">f8"), TypeError, None),
    (lambda: fresh_out().reshape(N, 1), TypeError, None),
    (lambda: fresh_out().tolist(), TypeError, None),
], ids=["short", "long", "empty", "read_only", "strided", "reversed", "unaligned", "float32", "big_endian",
        "two_dimensional", "list"])
@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_rejected_out_is_left_untouched(arm_path, cls, make_out, error, message):
    out = make_out()
    before = np.array(out, copy=True)
    with pytest.raises(error) as info:
        call(cls(arm_path), Q, out)
    if message:
        assert str(info.value) == message
    else:
        assert "'out'" in str(info.value)
    assert np.array_equal(np.asarray(out), before)


def test_valid_out_is_filled_and_returned(arm):
    expected = arm.forward_kinematics_all(Q)
    for out in (fresh_out(), np.full(N, np.nan), np.zeros(N, order="F")):
        assert arm.forward_kinematics_all(Q, out) is out
        assert np.array_equal(out, expected)
    assert arm.forward_kinematics_all(Q) is not arm.forward_kinematics_all(Q)


@pytest.mark.parametrize("failure", ["short_q", "nan_q", "inf_q", "q_type", "closed"])
def test_out_untouched_and_arrays_released_when_a_call_fails(arm, failure):
    buf = np.zeros(N)
    buf[:7] = Q
    q = {"short_q": buf[:5], "nan_q": buf[:7], "inf_q": buf[:7], "q_type": buf[:7].reshape(7, 1),
         "closed": buf[:7]}[failure]
    buf[3] = {"nan_q": math.nan, "inf_q": -math.inf}.get(failure, buf[3])
    robot = arm.fork()
    if failure == "closed":
        robot.close()
    out = fresh_out()
    with pytest.raises((ValueError, TypeError, RuntimeError)):
        robot.forward_kinematics_all(q, out)
    assert np.array_equal(out, fresh_out())
    # nothing stays held: both arrays can be written at once
    assert arm.forward_kinematics_all(Q, out) is out and arm.forward_kinematics_all(Q, out=buf) is buf
    assert np.array_equal(out, buf)


@pytest.mark.parametrize("views", [
    lambda buf: (buf[:N], buf[:N]), lambda buf: (buf[:7], buf[:N]), lambda buf: (buf[N - 7:N], buf[:N]),
    lambda buf: (buf[:N:9], buf[:N]), lambda buf: (buf[:N][::-1][:7], buf[:N]),
    lambda buf: (buf[N - 3:N + 4], buf[:N]),
    lambda buf: (buf[N:N + 7], buf[N + 6::-1][:N]),
], ids=["same_array", "head", "tail", "strided_over", "reversed", "straddling", "under_reversed_out"])
def test_overlapping_q_and_out_are_refused(arm, views):
    buf = np.linspace(0.1, 1.0, N + 10)
    before = buf.copy()
    q, out = views(buf)
    with pytest.raises(ValueError, match="^The given array is already borrowed$"):
        arm.forward_kinematics_all(q, out)
    assert np.array_equal(buf, before)
    # no hold survives the refusal
    assert arm.forward_kinematics_all(Q, out=buf[:N]) is not None
    assert np.array_equal(buf[:N], arm.forward_kinematics_all(Q))


def test_neighbouring_q_and_out_in_one_buffer(arm):
    buf = np.zeros(7 + N)
    buf[:7] = Q
    result = arm.forward_kinematics_all(buf[:7], out=buf[7:])
    assert result.base is buf and np.array_equal(buf[:7], Q)
    assert np.array_equal(buf[7:], arm.forward_kinematics_all(Q))


@pytest.mark.parametrize("kinds", [[], ["fixed"]])
@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_zero_dof_robot_accepts_empty_vectors(chain, cls, kinds):
    robot = cls(chain(kinds))
    for q in ([], (), np.zeros(0), np.zeros(0, np.int32), np.zeros(4)[4:]):
        result = call(robot, q)
        assert result.shape == (7 * len(kinds) + 7,) and result[:7].tolist() == [0, 0, 0, 0, 0, 0, 1]
    with pytest.raises(ValueError, match="^expected 0 elements in q, found 1$"):
        call(robot, [0.0])
