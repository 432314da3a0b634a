"""Inverse kinematics by damped least squares: convergence, step control, joint limits, error
reporting, and the IkOptions value class."""

import inspect
import math
import re

import numpy as np
import pytest

from conftest import compose, rotation_angle, urdf_text
from velkor import FloatingRobot, IkOptions, Pose, Robot, SolverError, Twist

NAN, INF = math.nan, math.inf
LOWER = np.array([-2.9, -1.8, -2.9, -3.0, -2.9, -0.1, -2.9])  # the sample arm's limits
UPPER = np.array([2.9, 1.8, 2.9, 0.1, 2.9, 3.7, 2.9])
FRAME = Pose([0.4, -1.2, 0.7], [0.3, -0.2, 0.5, 0.9])
POSITIVE = "must be finite and greater than zero"


def exactly(message):
    return f"^{re.escape(message)}$"


def sci(x):
    mantissa, exponent = f"{x:.6e}".split("e")
    return f"{mantissa}e{int(exponent)}"


def not_converged(iterations, translation, rotation):
    return exactly(f"inverse kinematics did not converge after {iterations} iterations "
                   f"(translation error {sci(translation)}, rotation error {sci(rotation)})")


def assert_reaches(robot, q, target, desired, tolerance=1e-6):
    pose = robot.forward_kinematics(q, target)
    assert np.linalg.norm(np.subtract(pose.translation, desired.translation)) <= tolerance
    assert rotation_angle(pose.rotation_xyzw, desired.rotation_xyzw) <= tolerance


@pytest.fixture
def arm(arm_path):
    return Robot(arm_path)


@pytest.fixture
def gantry(make_urdf):
    """Two prismatic joints along x and y: the target link only translates, one metre per unit of q."""
    return Robot(make_urdf(["g0", "g1", "g2"], [
        ("sx", "prismatic", "g0", "g1", (0, 0, 0), (0, 0, 0), (1, 0, 0)),
        ("sy", "prismatic", "g1", "g2", (0, 0, 0), (0, 0, 0), (0, 1, 0))]))


@pytest.fixture
def limited(write_urdf):
    """A fixed joint first, so DOF and joint indices differ: DOF 0 is j_off (off any path), DOF 1 j_rev."""
    text = urdf_text(["root", "a", "off", "b"], [
        ("j_fix", "fixed", "root", "a", (0, 0, 0.2)),
        ("j_off", "revolute", "root", "off", (0, 0, 0.2), (0, 0, 0), (0, 0, 1)),
        ("j_rev", "revolute", "a", "b", (0, 0, 0.2), (0, 0, 0), (0, 0, 1))], "limited")
    for name, bound in (("j_off", "1"), ("j_rev", "0.5")):
        text = re.sub(f'(name="{name}".*?)lower="-3" upper="3"', rf'\1lower="-{bound}" upper="{bound}"', text)
    robot = Robot(write_urdf(text))
    assert [robot.link_id(n) for n in ("a", "off", "b")] == [1, 2, 3]
    return robot


@pytest.mark.parametrize("seed", range(6))
def test_round_trip_from_a_nearby_start(arm, seed):
    rng = np.random.default_rng(seed)
    truth = rng.uniform(LOWER + 0.2, UPPER - 0.2)
    target = int(rng.integers(3, 9))
    desired = arm.forward_kinematics(truth, target)
    start = np.clip(truth + rng.normal(0, 0.15, 7), LOWER, UPPER)
    solution = arm.inverse_kinematics(start, target, desired)
    assert_reaches(arm, solution, target, desired)
    assert np.all((LOWER <= solution) & (solution <= UPPER))
    assert np.array_equal(solution[target:], start[target:])  # DOFs beyond the target stay put


@pytest.mark.parametrize("seed", range(6))
def test_round_trip_from_zero_without_limits(write_urdf, arm_path, seed):
    with open(arm_path, encoding="utf-8") as f:
        robot = Robot(write_urdf(f.read().replace('type="revolute"', 'type="continuous"')))
    truth = np.random.default_rng(seed).uniform(LOWER, UPPER)
    desired = robot.forward_kinematics(truth, 8)
    assert_reaches(robot, robot.inverse_kinematics(np.zeros(7), 8, desired), 8, desired)


def test_base_frame_moves_with_the_desired_pose(arm):
    truth, start = np.array([0.3, 0.5, -0.4, -1.2, 0.6, 1.1, 0.2]), np.array([0.2, 0.6, -0.3, -1.1, 0.7, 1.0, 0.1])
    desired = arm.forward_kinematics(truth, 8)
    expected = arm.inverse_kinematics(start, 8, desired)
    arm.set_base_frame(FRAME)
    moved = arm.inverse_kinematics(start, 8, compose(FRAME, desired))
    assert np.allclose(moved, expected, rtol=0, atol=1e-9)


def test_met_tolerances_return_a_copy_without_steps(arm):
    q = np.array([0.3, 0.5, -0.4, -1.2, 0.6, 1.1, 0.2])
    desired = arm.forward_kinematics(q, 8)
    result = arm.inverse_kinematics(q, 8, desired, IkOptions(max_iterations=1, damping=1e-300))
    assert result is not q and np.array_equal(result, q)
    out = np.full(7, NAN)
    assert arm.inverse_kinematics(list(q), 8, desired, out=out) is out and np.array_equal(out, q)
    with pytest.raises(ValueError, match=exactly("The given array is already borrowed")):
        arm.inverse_kinematics(q, 8, desired, out=q)  # one array as both input and output
    for scale in (-1.0, 3.0):  # the same rotation, once normalised
        same = Pose(desired.translation, [scale * x for x in desired.rotation_xyzw])
        assert np.array_equal(arm.inverse_kinematics(q, 8, same, IkOptions(max_iterations=1, damping=1e-300)), q)


@pytest.mark.parametrize("goal, options, translation", [
    ([3, 4, 0], IkOptions(1), 4.5),  # the step of norm ~5 is cut to exactly 0.5 along its direction
    ([3, 4, 0], IkOptions(1, max_step_norm=2.0), 3.0),
    ([0.03, 0.04, 0], IkOptions(1, 1e-9), 0.05 * 1e-6 / (1 + 1e-6)),  # damped, unscaled
    ([0.3, 0.4, 0], IkOptions(1, 1e-9, damping=0.1), 0.5 * 0.01 / 1.01),
])
def test_step_length_and_damping(gantry, goal, options, translation):
    with pytest.raises(SolverError, match=not_converged(1, translation, 0.0)):
        gantry.inverse_kinematics([0, 0], 2, Pose(goal), options)


@pytest.mark.parametrize("rotation, angle", [
    ([0, 0, 1, 0], math.pi), ([1, 0, 0, 0], math.pi),
    ([0, 0, math.sqrt(0.5), math.sqrt(0.5)], math.pi / 2), ([0, 0, math.sqrt(0.5), -math.sqrt(0.5)], math.pi / 2),
])
def test_rotation_error_is_the_angle(gantry, rotation, angle):
    with pytest.raises(SolverError, match=not_converged(1, 0.0, angle)):
        gantry.inverse_kinematics([0, 0], 2, Pose(rotation_xyzw=rotation), IkOptions(1))


def test_unreachable_pose_reports_the_last_errors(arm):
    message = r"^inverse kinematics did not converge after {} iterations \(translation error [1-9]\.\d{{6}}e-?\d+, " \
              r"rotation error \d\.\d{{6}}e-?\d+\)$"
    for options, iterations in [(IkOptions(max_iterations=1), 1), (None, 100)]:
        out = np.full(7, -3.0)
        with pytest.raises(SolverError, match=message.format(iterations)):
            arm.inverse_kinematics(np.zeros(7), 8, Pose([5, 0, 0]), options, out)
        assert np.all(out == -3.0)


def test_numerical_failure_when_damping_underflows(gantry):
    with pytest.raises(SolverError, match=exactly("inverse-kinematics linear solve failed at iteration 1")):
        gantry.inverse_kinematics([0, 0], 2, Pose([1, 0, 0]), IkOptions(damping=1e-200))
    assert np.array_equal(gantry.inverse_kinematics([1, 0], 2, Pose([1, 0, 0]), IkOptions(damping=1e-200)), [1, 0])


def test_root_link_target(arm):
    q = np.array([0.1, -0.2, 0.3, -0.4, 0.5, 0.6, -0.7])
    assert np.array_equal(arm.inverse_kinematics(q, 0, Pose()), q)
    arm.set_base_frame(FRAME)
    assert np.array_equal(arm.inverse_kinematics(q, 0, Pose(FRAME.translation, [0.6, -0.4, 1.0, 1.8])), q)
    angle = rotation_angle(FRAME.rotation_xyzw, [0, 0, 0, 1])
    with pytest.raises(SolverError, match=not_converged(100, np.linalg.norm(FRAME.translation), angle)):
        arm.inverse_kinematics(q, 0, Pose())


@pytest.mark.parametrize("q, rev, message", [
    ([1.5, 0], 0.3, "inverse-kinematics solution 1.500000e0 for joint 0 (j_off) is outside URDF limits "
                    "[-1.000000e0, 1.000000e0]"),
    ([1.5, 0], 0.8, "inverse-kinematics solution 1.500000e0 for joint 0 (j_off) is outside URDF limits "
                    "[-1.000000e0, 1.000000e0]"),  # both DOFs outside: the lower index is reported
    ([-1 - 1e-11, 0], 0.3, "inverse-kinematics solution -1.000000e0 for joint 0 (j_off) is outside URDF limits "
                           "[-1.000000e0, 1.000000e0]"),
    ([0, 0], 0.8, "inverse-kinematics solution 8.000000e-1 for joint 1 (j_rev) is outside URDF limits "
                  "[-5.000000e-1, 5.000000e-1]"),
])
def test_limit_violation_names_the_dof(limited, q, rev, message):
    desired = limited.forward_kinematics([0, rev], 3)
    with pytest.raises(SolverError, match=exactly(message)):
        limited.inverse_kinematics(q, 3, desired, IkOptions(translation_tolerance=1e-12, rotation_tolerance=1e-12))


@pytest.mark.parametrize("off", [1 + 5e-13, -1 - 5e-13])
def test_limit_slack(limited, off):
    result = limited.inverse_kinematics([off, 0], 3, limited.forward_kinematics([0, 0.3], 3))
    assert result[0] == off and abs(result[1] - 0.3) < 1e-6


@pytest.mark.parametrize("q, options, message", [
    (np.zeros(5), IkOptions(damping=0.0), "expected 7 elements in initial_q, found 5"),
    ([NAN] * 7, IkOptions(damping=0.0), "initial_q contains a non-finite value"),
    *((None, IkOptions(**{name: bad}), f"invalid inverse-kinematics option {name}: {POSITIVE}")
      for name in ("translation_tolerance", "rotation_tolerance", "damping", "max_step_norm")
      for bad in (0.0, -0.0, -1.0, NAN, INF, -INF)),
    (None, IkOptions(1, NAN, 0.0, -1.0, 0.0), f"invalid inverse-kinematics option translation_tolerance: {POSITIVE}"),
    (None, IkOptions(1, 1.0, 1.0, -1.0, 0.0), f"invalid inverse-kinematics option damping: {POSITIVE}"),
])
def test_inputs_and_options_are_checked_before_any_step(arm, q, options, message):
    start = np.array([0.3, 0.5, -0.4, -1.2, 0.6, 1.1, 0.2])
    desired = arm.forward_kinematics(start, 8)  # already met: only the checks can fail
    out = np.full(7, -3.0)
    with pytest.raises(ValueError, match=exactly(message)):
        arm.inverse_kinematics(start if q is None else q, 8, desired, options, out)
    assert np.all(out == -3.0)


def test_desired_pose_beyond_range_in_root_coordinates(arm):
    arm.set_base_frame(Pose([-1e308, 0, 0]))
    with pytest.raises(ValueError, match=exactly(f"invalid inverse-kinematics option damping: {POSITIVE}")):
        arm.inverse_kinematics(np.zeros(7), 8, Pose([1e308, 0, 0]), IkOptions(damping=0.0))
    with pytest.raises(ValueError, match=exactly("inverse-kinematics target frame contains a non-finite value")):
        arm.inverse_kinematics(np.zeros(7), 8, Pose([1e308, 0, 0]))


@pytest.mark.parametrize("args, error, message", [
    ((np.zeros(7), 9, Pose()), ValueError, "invalid link id 9"),
    ((np.zeros(7), 8, Twist()), TypeError, "desired"),
    ((np.zeros(7), 8, Pose(), {"damping": 0.1}), TypeError, "options"),
    ((np.zeros(7), 8, Pose(rotation_xyzw=[0, 0, 0, 1e-13])), ValueError,
     "pose contains non-finite values or a zero quaternion"),
    ((np.zeros(7), 8, Pose([0, NAN, 0])), ValueError, "pose contains non-finite values or a zero quaternion"),
    ((np.zeros(7), 8, Pose(), None, np.zeros(6)), ValueError, "out must contain exactly 7 elements"),
])
def test_binding_errors(arm, args, error, message):
    with pytest.raises(error) as info:
        arm.inverse_kinematics(*args)
    assert message in str(info.value)


def test_signatures_and_defaults(arm):
    assert IkOptions.__text_signature__ == ("(max_iterations=None, translation_tolerance=1.0e-6, "
                                            "rotation_tolerance=1.0e-6, damping=1.0e-3, max_step_norm=0.5)")
    assert list(inspect.signature(IkOptions).parameters) == [
        "max_iterations", "translation_tolerance", "rotation_tolerance", "damping", "max_step_norm"]
    assert arm.inverse_kinematics.__text_signature__ == "($self, q, target, desired, options=None, out=None)"
    assert not hasattr(FloatingRobot, "inverse_kinematics")
    o = IkOptions()
    assert (o.max_iterations, o.translation_tolerance, o.rotation_tolerance, o.damping, o.max_step_norm) == (
        100, 1e-6, 1e-6, 1e-3, 0.5)
    assert type(o.max_iterations) is int and type(o.damping) is float
    o = IkOptions(7, 1, np.float32(0.5), True, max_step_norm=2**3)
    assert (o.max_iterations, o.translation_tolerance, o.rotation_tolerance, o.damping, o.max_step_norm) == (
        7, 1.0, 0.5, 1.0, 8.0)
    assert IkOptions(None).max_iterations == 100 and IkOptions(np.int64(3)).max_iterations == 3
    assert math.isnan(IkOptions(damping=NAN).damping) and IkOptions(damping=-1.0).damping == -1.0


@pytest.mark.parametrize("value, error, message", [
    *((v, TypeError, "max_iterations must be an integer") for v in (True, False, 1.5, "3", 2**63, -2**70, object())),
    (0, ValueError, "max_iterations must be greater than zero"),
    (-1, ValueError, "max_iterations must be greater than zero"),
])
def test_max_iterations_must_be_a_positive_integer(value, error, message):
    with pytest.raises(error, match=exactly(message)):
        IkOptions(max_iterations=value)


@pytest.mark.parametrize("name", ["translation_tolerance", "rotation_tolerance", "damping", "max_step_norm"])
@pytest.mark.parametrize("value", [None, "x", [1.0]])
def test_float_options_must_convert(name, value):
    with pytest.raises(TypeError, match=name):
        IkOptions(**{name: value})


def test_comparison_hash_and_immutability():
    assert IkOptions() == IkOptions() and not (IkOptions() != IkOptions())
    assert IkOptions(5) != IkOptions(6) and IkOptions(damping=0.1) != IkOptions()
    assert IkOptions(damping=0.0) == IkOptions(damping=-0.0)
    nan = IkOptions(damping=NAN)
    assert nan != nan and not (nan == IkOptions(damping=NAN))
    assert (IkOptions() == (100, 1e-6, 1e-6, 1e-3, 0.5)) is False
    with pytest.raises(TypeError):
        IkOptions() < IkOptions()
    with pytest.raises(TypeError):
        hash(IkOptions())
    for name in ("max_iterations", "translation_tolerance", "rotation_tolerance", "damping", "max_step_norm"):
        with pytest.raises(AttributeError):
            setattr(IkOptions(), name, 1)
