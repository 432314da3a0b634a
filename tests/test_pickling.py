"""Handles and values pickle and copy: an unpickled handle loads the same document with the same
options and settings and computes the same bits, here and in pool workers of every start method."""

import copy
import multiprocessing
import pickle

import numpy as np
import pytest

from velkor import BaseState, FloatingRobot, IkOptions, Load, ModelError, Pose, Robot, Twist
from velkor.samples import sample_path

Q = np.random.default_rng(5).uniform(-1, 1, 12)
BASE = BaseState(Pose([0.1, 0.2, 0.3], [0.1, 0.2, 0.3, 0.9]), Twist([1, 2, 3], [4, 5, 6]), Twist([0.1, 0, 0], [0, 0, 1]))


def arm():
    robot = Robot(sample_path("arm"))
    robot.set_base_frame(Pose([0.4, -1.2, 0.7], [0.3, -0.2, 0.5, 0.9]))
    robot.gravity_vector = (0.3, -0.2, -9.7)
    return robot


def quadruped():
    robot = FloatingRobot(sample_path("quadruped"), massless_root="allow")
    robot.gravity_vector = (0.0, 0.1, -9.81)
    return robot


def results(robot):
    """The bits of a few methods at a fixed state."""
    lead = (BASE,) if isinstance(robot, FloatingRobot) else ()
    q = Q[:robot.joint_count]
    forces = np.linspace(-1, 1, robot.generalized_count)
    return [robot.forward_kinematics_all(*lead, q), robot.jacobian(*lead, q, robot.link_count - 1),
            robot.mass_matrix(*lead, q), robot.inverse_dynamics(*lead, q, q, q),
            robot.forward_dynamics(*lead, q, q, forces)]


def same_bits(a, b):
    return all(x.tobytes() == y.tobytes() for x, y in zip(a, b))


@pytest.mark.parametrize("make", [arm, quadruped])
@pytest.mark.parametrize("how", ["pickle", "copy", "deepcopy"])
def test_handle_round_trip_computes_the_same_bits(make, how):
    robot = make()
    other = {"pickle": lambda r: pickle.loads(pickle.dumps(r)), "copy": copy.copy, "deepcopy": copy.deepcopy}[how](robot)
    assert type(other) is type(robot) and other is not robot
    assert other.gravity_vector.tobytes() == robot.gravity_vector.tobytes()
    assert other.dof_names == robot.dof_names and other.mimic_joints == robot.mimic_joints
    assert same_bits(results(other), results(robot))


def test_mimic_option_travels(tmp_path):
    text = open(sample_path("arm")).read().replace(
        '<joint name="tool_mount"', '<joint name="extra" type="revolute"><parent link="tool"/>'
        '<child link="extra_link"/><axis xyz="0 0 1"/><limit lower="-1" upper="1" effort="1" velocity="1"/>'
        '<mimic joint="joint_1"/></joint><link name="extra_link"/><joint name="tool_mount"', 1)
    robot = Robot.from_urdf_string(text, mimic="independent")
    assert robot.mimic_joints and pickle.loads(pickle.dumps(robot)).mimic_joints == robot.mimic_joints


@pytest.mark.parametrize("value", [Pose([1, 2, 3], [0.1, 0.2, 0.3, 0.4]), Twist([1, 2, 3], [4, 5, 6]), BASE,
                                   Load(3, torque=(1, 2, 3), force=(4, 5, 6)),
                                   IkOptions(max_iterations=7, damping=0.25)])
def test_value_round_trip(value):
    for other in (pickle.loads(pickle.dumps(value)), copy.copy(value), copy.deepcopy(value)):
        assert type(other) is type(value) and other == value


def test_refusals():
    robot = arm()
    robot.close()
    with pytest.raises(RuntimeError, match="^robot is closed$"):
        pickle.dumps(robot)
    with pytest.raises(TypeError, match="LoadBuffer"):
        pickle.dumps(arm().load_buffer())


XML = open(sample_path("arm")).read()


FRAME = (0, 0, 0, 1, 0, 0, 0)


@pytest.mark.parametrize("cls, args, error", [
    (Robot, (3, "reject", "reject", FRAME, (0, 0, -9.8)), TypeError),
    (Robot, ("<robot", "reject", "reject", FRAME, (0, 0, -9.8)), ModelError),
    (Robot, (XML, "maybe", "reject", FRAME, (0, 0, -9.8)), ValueError),
    (Robot, (XML, "reject", "reject", (0,) * 7, (0, 0, -9.8)), ValueError),
    (Robot, (XML, "reject", "reject", (0, 0, 0, 1), (0, 0, -9.8)), ValueError),
    (Robot, (XML, "reject", "reject", None, (0, 0, -9.8)), TypeError),
    (Robot, (XML, "reject", "reject", FRAME, (0, float("nan"), -9.8)), ValueError),
    (FloatingRobot, (XML, "reject", "reject", FRAME, (0, 0, -9.8)), ValueError),
    (Robot, (XML,), TypeError),
    # quaternions set_base_frame refuses: too short to give a direction, or overflowing
    (Robot, (XML, "reject", "reject", (1e-13, 0, 0, 0, 0, 0, 0), (0, 0, -9.8)), ValueError),
    (Robot, (XML, "reject", "reject", (1e200, 0, 0, 0, 0, 0, 0), (0, 0, -9.8)), ValueError),
    # a Robot's pickle names a massless_root option too: only its values pass
    (Robot, (XML, "reject", "maybe", FRAME, (0, 0, -9.8)), ValueError),
    (Robot, (XML, "reject", 1, FRAME, (0, 0, -9.8)), TypeError),
    (Robot, (XML, "reject", None, FRAME, (0, 0, -9.8)), TypeError),
])
def test_malformed_pickle_data_gets_clear_errors(cls, args, error):
    with pytest.raises(error):
        cls._restore(*args)


def test_restored_frame_is_normalised_as_set_base_frame_does():
    q = np.linspace(-1, 1, 7)
    crafted = Robot._restore(XML, "reject", "reject", (0, 0, 0, 2.0, 0.1, 0.2, 0.3), (0, 0, -9.80665))
    reference = Robot(sample_path("arm"))
    reference.set_base_frame(Pose([0.1, 0.2, 0.3], [0, 0, 0, 2.0]))
    np.testing.assert_array_equal(crafted.jacobian(q, 8), reference.jacobian(q, 8))
    poses = crafted.forward_kinematics_all(q).reshape(-1, 7)
    np.testing.assert_allclose(np.linalg.norm(poses[:, 3:], axis=1), 1.0, rtol=1e-15)


def pool_results(robot):
    return results(robot)


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_pools_take_handles(method):
    robots = [arm(), quadruped()]
    with multiprocessing.get_context(method).Pool(2) as pool:
        remote = pool.map(pool_results, robots)
    for robot, got in zip(robots, remote):
        assert same_bits(got, results(robot))


# A robot whose tip inertia is indefinite by 1e-10 of the body's moment: it loads with inertia_tolerance only.
TOLERATED = ('<robot name="r"><link name="body"><inertial><mass value="5"/>'
             '<inertia ixx="1" ixy="0" ixz="0" iyy="1" iyz="0" izz="1"/></inertial></link>'
             '<link name="tip"><inertial><mass value="1"/>'
             '<inertia ixx="0.01" ixy="0.002" ixz="0" iyy="0.0004" iyz="0" izz="-1e-10"/></inertial></link>'
             '<joint name="j" type="continuous"><parent link="body"/><child link="tip"/>'
             '<origin xyz="0 0 0.1"/><axis xyz="1 0 0"/></joint></robot>')


@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
@pytest.mark.parametrize("how", ["pickle", "deepcopy"])
def test_inertia_tolerance_travels(cls, how):
    robot = cls.from_urdf_string(TOLERATED, inertia_tolerance=1e-9)
    restore, args = robot.__reduce__()
    assert len(args) == 6 and args[5] == 1e-9
    other = pickle.loads(pickle.dumps(robot)) if how == "pickle" else copy.deepcopy(robot)
    assert other.repaired_inertias == robot.repaired_inertias and len(robot.repaired_inertias) == 1
    assert same_bits(results(other), results(robot))
    # without the option the pickle keeps its five arguments, and five still load
    assert len(cls.from_urdf_string(XML).__reduce__()[1]) == 5
    with pytest.raises(ModelError, match="link tip inertia must be positive semi-definite"):
        restore(*args[:5])


@pytest.mark.parametrize("tolerance, error", [(float("nan"), ValueError), (1.0, ValueError), ("1e-9", TypeError),
                                               (None, TypeError)])
def test_malformed_inertia_tolerance_in_pickle_data(tolerance, error):
    with pytest.raises(error, match="inertia_tolerance"):
        Robot._restore(TOLERATED, "reject", "reject", FRAME, (0, 0, -9.8), tolerance)
    with pytest.raises(TypeError, match=r"takes 5 or 6 arguments \(7 given\)"):
        Robot._restore(TOLERATED, "reject", "reject", FRAME, (0, 0, -9.8), 1e-9, 0)
