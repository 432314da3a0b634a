"""Pose, Twist and BaseState: construction, conversion errors, comparison, and
how a pose or base state is accepted as an input."""

import inspect
import math

import numpy as np
import pytest
from peers import TESTING

from velkor import BaseState, Pose, Twist

hooks = pytest.importorskip("_velkor_testing", reason=TESTING)

NAN, INF = math.nan, math.inf


def test_defaults():
    assert Pose().translation == (0.0, 0.0, 0.0)
    assert Pose().rotation_xyzw == (0.0, 0.0, 0.0, 1.0)
    assert Twist().angular == (0.0, 0.0, 0.0) and Twist().linear == (0.0, 0.0, 0.0)
    state = BaseState()
    assert state.frame == Pose() and state.velocity == Twist() and state.acceleration == Twist()


@pytest.mark.parametrize("cls, signature", [
    (Pose, "(translation=..., rotation_xyzw=...)"),
    (Twist, "(angular=..., linear=...)"),
    (BaseState, "(frame=None, velocity=None, acceleration=None)"),
])
def test_text_signatures(cls, signature):
    assert cls.__text_signature__ == signature
    names = [name.split("=")[0] for name in signature.strip("()").split(", ")]
    assert list(inspect.signature(cls).parameters) == names


def test_numbers_are_kept_exactly_and_returned_as_float_tuples():
    pose = Pose(np.array([1.0, 2.0, 3.0]), [0, 0, 0, 2])
    assert pose.rotation_xyzw == (0.0, 0.0, 0.0, 2.0)
    assert pose.translation == (1.0, 2.0, 3.0)
    assert all(type(x) is float for x in pose.translation)
    twist = Twist(linear=(4, 5, 6), angular=[np.float32(0.5), True, 2**40])
    assert twist.angular == (0.5, 1.0, float(2**40)) and twist.linear == (4.0, 5.0, 6.0)
    assert Pose(translation=[NAN, 0, 0]).translation[0] != 0  # stored unchecked


def test_properties_build_new_objects_and_are_read_only():
    frame = Pose(translation=[1, 2, 3])
    state = BaseState(frame=frame)
    assert state.frame == frame and state.frame is not frame and state.frame is not state.frame
    with pytest.raises(AttributeError):
        frame.translation = (1, 2, 3)
    with pytest.raises(AttributeError):
        state.frame = Pose()
    with pytest.raises(AttributeError):
        frame.extra = 1


@pytest.mark.parametrize("make, message", [
    (lambda: Pose(translation=[1, 2]), "expected a sequence of length 3 (got 2)"),
    (lambda: Pose(rotation_xyzw=[0, 0, 1]), "expected a sequence of length 4 (got 3)"),
    (lambda: Twist(linear=np.zeros(4)), "expected a sequence of length 3 (got 4)"),
    (lambda: Twist(angular="ab"), "expected a sequence of length 3 (got 2)"),
])
def test_wrong_length_is_a_value_error(make, message):
    with pytest.raises(ValueError) as info:
        make()
    assert info.value.args == (message,)


@pytest.mark.parametrize("make, argument", [
    (lambda: Pose(translation=5), "translation"),
    (lambda: Pose(translation=None), "translation"),
    (lambda: Pose(rotation_xyzw={0: 1}), "rotation_xyzw"),
    (lambda: Pose(translation="abc"), "translation"),
    (lambda: Pose(translation=[1, "2", 3]), "translation"),
    (lambda: Twist(angular=[1, 2, 10**400]), "angular"),
    (lambda: Twist(linear=[None, 0, 0]), "linear"),
    (lambda: BaseState(frame=Twist()), "frame"),
    (lambda: BaseState(velocity=Pose()), "velocity"),
    (lambda: BaseState(Pose(), Twist(), 0), "acceleration"),
])
def test_wrong_type_is_a_type_error_naming_the_argument(make, argument):
    with pytest.raises(TypeError, match=f"'{argument}'"):
        make()


@pytest.mark.parametrize("make, message", [
    (lambda: Pose(1, 2, 3), "Pose() takes from 0 to 2 positional arguments but 3 were given"),
    (lambda: Twist(spin=[0, 0, 0]), "Twist() got an unexpected keyword argument 'spin'"),
    (lambda: BaseState(Pose(), frame=Pose()), "BaseState() got multiple values for argument 'frame'"),
])
def test_argument_list_errors(make, message):
    with pytest.raises(TypeError) as info:
        make()
    assert info.value.args == (message,)


def test_base_state_treats_none_as_default():
    assert BaseState(frame=None) == BaseState()
    assert BaseState(None, Twist(linear=[1, 0, 0])).velocity == Twist(linear=[1, 0, 0])


def test_equality():
    assert Pose() == Pose() and not (Pose() != Pose())
    assert Pose(rotation_xyzw=[0, 0, 0, 1]) != Pose(rotation_xyzw=[0, 0, 0, -1])
    assert Pose(translation=[0.0, 0, 0]) == Pose(translation=[-0.0, 0, 0])
    nan_pose = Pose(translation=[NAN, 0, 0])
    assert nan_pose != nan_pose and not (nan_pose == nan_pose)
    assert Twist(angular=[1, 0, 0]) != Twist(linear=[1, 0, 0])
    assert BaseState(acceleration=Twist(linear=[0, 0, 1])) != BaseState()
    assert (Pose() == Twist()) is False and (Pose() != Twist()) is True
    assert Pose() != (0, 0, 0, 0, 0, 0, 1)


@pytest.mark.parametrize("value", [Pose(), Twist(), BaseState()])
def test_unordered_and_unhashable(value):
    with pytest.raises(TypeError):
        value < value  # noqa: B015
    with pytest.raises(TypeError):
        hash(value)


@pytest.mark.parametrize("quaternion, translation, accepted", [
    ((0, 0, 0, 2), (0, 0, 0), (0, 0, 0, 1)),
    ((0, 3, 0, 4), (1, 2, 3), (0, 0.6, 0, 0.8)),
    ((0, 0, 0, 1e-11), (0, 0, 0), (0, 0, 0, 1)),
    ((0, 0, 0, 1e-13), (0, 0, 0), None),
    ((0, 0, 0, 0), (0, 0, 0), None),
    ((0, 0, NAN, 1), (0, 0, 0), None),
    ((0, 0, 0, 1e200), (0, 0, 0), None),  # squared norm overflows
    ((0, 0, 0, 1), (INF, 0, 0), None),
    ((0, 0, 0, 1), (0, NAN, 0), None),
])
def test_pose_acceptance(quaternion, translation, accepted):
    pose = Pose(translation, quaternion)
    if accepted is None:
        with pytest.raises(ValueError) as info:
            hooks.accept_pose(pose)
        assert info.value.args == ("pose contains non-finite values or a zero quaternion",)
    else:
        result = hooks.accept_pose(pose)
        assert result[:4] == pytest.approx(accepted, abs=1e-15)
        assert result[4:] == tuple(float(t) for t in translation)
    # the object itself is unchanged
    assert repr(pose.rotation_xyzw) == repr(tuple(float(q) for q in quaternion))


def test_pose_argument_type_and_round_trip():
    with pytest.raises(TypeError, match="'pose'"):
        hooks.accept_pose(Twist())
    result = hooks.roundtrip_pose(Pose([1, 2, 3], [0, 0, 0, 4]))
    assert type(result) is Pose
    assert result == Pose([1, 2, 3], [0, 0, 0, 1])


@pytest.mark.parametrize("state, message", [
    (BaseState(Pose(translation=[NAN, 0, 0]), Twist(angular=[NAN, 0, 0])),
     "pose contains non-finite values or a zero quaternion"),
    (BaseState(Pose(rotation_xyzw=[0, 0, 0, 0])), "pose contains non-finite values or a zero quaternion"),
    (BaseState(velocity=Twist(linear=[0, INF, 0]), acceleration=Twist(linear=[NAN, 0, 0])),
     "invalid base velocity: must contain only finite values"),
    (BaseState(acceleration=Twist(angular=[0, 0, -INF])),
     "invalid base acceleration: must contain only finite values"),
])
def test_base_state_conversion_failures(state, message):
    with pytest.raises(ValueError) as info:
        hooks.base_state(state)
    assert info.value.args == (message,)


def test_base_state_conversion_normalises_the_frame():
    state = BaseState(Pose([1, 2, 3], [0, 0, 0, 2]), Twist([1, 2, 3], [4, 5, 6]), Twist(linear=[0, 0, -9]))
    frame, velocity, acceleration = hooks.base_state(state)
    assert frame == (0, 0, 0, 1, 1, 2, 3)
    assert velocity == (1, 2, 3, 4, 5, 6)
    assert acceleration == (0, 0, 0, 0, 0, -9)
    with pytest.raises(TypeError, match="'base'"):
        hooks.base_state(Pose())


# --- base states held in arrays -----------------------------------------------------------------

ROW = np.array([0.1, -0.2, 0.3, 0.2, -0.4, 0.1, 0.8, 1.0, 2.0, 3.0, -1.0, -2.0, -3.0, 0.5, 0.6, 0.7, 4.0, 5.0, 6.0])


@pytest.mark.parametrize("values", [ROW, ROW.tolist(), np.repeat(ROW, 2)[::2], ROW.astype(np.float32)])
def test_base_state_from_array_layout(values):
    state = BaseState.from_array(values)
    expected = np.asarray(values, dtype=np.float64)
    assert state == BaseState(Pose(expected[:3], expected[3:7]), Twist(expected[7:10], expected[10:13]),
                              Twist(expected[13:16], expected[16:]))
    assert np.array_equal(state.to_array(), expected)


@pytest.mark.parametrize("values, error", [(ROW[:18], ValueError), (np.zeros((19, 1)), TypeError),
                                           (["a"] * 19, TypeError), (3.0, TypeError)])
def test_base_state_from_array_refusals(values, error):
    with pytest.raises(error):
        BaseState.from_array(values)
