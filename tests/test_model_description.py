"""What a handle tells about its model, its gravity and its repr, on the sample robots; names,
order and limits are checked against the files and the oracle in test_cross_validation.py."""

import re

import numpy as np
import pytest

import velkor
from velkor import FloatingRobot, Robot
from velkor.samples import sample_path


@pytest.fixture
def arm():
    return Robot(sample_path("arm"))


def test_dof_index_finds_names_and_suggests_close_ones(arm):
    assert [arm.dof_index(n) for n in arm.dof_names] == list(range(arm.joint_count))
    with pytest.raises(ValueError, match=r"no degree of freedom is named 'joint_44'; close matches: \["):
        arm.dof_index("joint_44")
    with pytest.raises(ValueError, match=r"^no degree of freedom is named 'zzz'$"):
        arm.dof_index("zzz")
    with pytest.raises(TypeError):
        arm.dof_index(3)


@pytest.mark.parametrize("names, inverse, message", [
    (["joint_1"], False, "names lacks the degree of freedom"),
    (None, True, "appears twice in names"),
    (["elbow"], True, "'elbow' is not a degree of freedom of this robot"),
])
def test_dof_order_refuses_incomplete_or_repeated_names(arm, names, inverse, message):
    names = list(arm.dof_names) + ["elbow"] if names == ["elbow"] else names
    names = list(arm.dof_names) + [arm.dof_names[0]] if names is None else names
    with pytest.raises(ValueError, match=message):
        arm.dof_order(names, inverse=inverse)


def test_dof_order_refuses_sets_and_escapes_names(arm):
    with pytest.raises(TypeError, match=r"ordered sequence .* got set \(unordered\)"):
        arm.dof_order(set(arm.dof_names))
    with pytest.raises(ValueError, match=r"^'bad\\x00name' is not a degree of freedom"):
        arm.dof_order(list(arm.dof_names) + ["bad\0name"], inverse=True)


def test_dof_order_round_trips_a_shuffled_order(arm):
    rng = np.random.default_rng(1)
    theirs = list(rng.permutation(arm.dof_names)) + ["universe"]  # extra names are ignored
    q_theirs = rng.uniform(-1, 1, len(theirs))
    q_ours = q_theirs[arm.dof_order(theirs)]
    for name, value in zip(theirs[:-1], q_theirs):
        assert q_ours[arm.dof_index(name)] == value
    back = arm.dof_order(theirs[:-1], inverse=True)
    np.testing.assert_array_equal(q_ours[back], q_theirs[:-1])


def test_arrays_are_read_only_copies(arm):
    for array in (arm.lower_limits, arm.upper_limits, arm.velocity_limits, arm.effort_limits,
                  arm.link_masses, arm.gravity_vector):
        with pytest.raises(ValueError, match="read-only"):
            array[0] = 1.0
    assert arm.neutral_configuration().flags.writeable


def test_random_configuration_takes_a_seed_or_a_generator(arm):
    np.testing.assert_array_equal(arm.random_configuration(5), arm.random_configuration(5))
    np.testing.assert_array_equal(arm.random_configuration(np.random.default_rng(5)), arm.random_configuration(5))
    assert not np.array_equal(arm.random_configuration(), arm.random_configuration())


class OddGenerator(np.random.Generator):
    def __init__(self, drawn):
        super().__init__(np.random.PCG64(0))
        self.drawn = drawn

    def random(self, *args, **kwargs):
        return self.drawn


@pytest.mark.parametrize("drawn, error", [
    ("not an array", TypeError),
    (np.zeros(3), TypeError),
    (np.zeros(7, dtype=np.float32), TypeError),
    (np.full(7, 5.0), ValueError),
    (np.full(7, np.nan), ValueError),
])
def test_random_configuration_checks_what_the_generator_draws(arm, drawn, error):
    with pytest.raises(error, match=r"rng\.random\(7\)"):
        arm.random_configuration(OddGenerator(drawn))


def test_random_configuration_draws_as_uniform_and_within_any_finite_limits(arm):
    np.testing.assert_array_equal(arm.random_configuration(9),
                                  np.random.default_rng(9).uniform(arm.lower_limits, arm.upper_limits))
    wide = re.sub(r'upper="[^"]*"', 'upper="1e308"',
                  re.sub(r'lower="[^"]*"', 'lower="-1e308"', open(sample_path("arm")).read()))
    robot = Robot.from_urdf_string(wide)
    q = robot.random_configuration(3)
    assert np.isfinite(q).all() and (q >= robot.lower_limits).all() and (q <= robot.upper_limits).all()


def test_gravity_vector_defaults_sets_and_is_inherited_by_forks(arm):
    q = np.full(arm.joint_count, 0.3)
    np.testing.assert_array_equal(arm.gravity_vector, [0.0, 0.0, -9.80665])
    standard = arm.gravity(q)
    arm.gravity_vector = (0.0, 0.0, -2 * 9.80665)
    np.testing.assert_allclose(arm.gravity(q), 2 * standard, rtol=1e-14)
    fork = arm.fork()
    np.testing.assert_array_equal(fork.gravity_vector, [0.0, 0.0, -2 * 9.80665])
    fork.gravity_vector = [0, 0, 0]
    np.testing.assert_array_equal(fork.gravity(q), np.zeros(arm.joint_count))
    np.testing.assert_allclose(arm.gravity(q), 2 * standard, rtol=1e-14)  # the origin keeps its own


@pytest.mark.parametrize("value, error", [
    ([0, 0], ValueError), ([0, 0, float("nan")], ValueError), ([0, 0, float("inf")], ValueError),
    ("abc", TypeError), (None, TypeError),
])
def test_gravity_vector_refuses_bad_values_and_keeps_the_old_one(arm, value, error):
    with pytest.raises(error):
        arm.gravity_vector = value
    np.testing.assert_array_equal(arm.gravity_vector, [0.0, 0.0, -9.80665])
    with pytest.raises(TypeError, match="cannot be deleted"):
        del arm.gravity_vector


def test_reprs_name_the_robot_and_its_state():
    arm, body = Robot(sample_path("arm")), FloatingRobot(sample_path("quadruped"))
    assert repr(arm) == f"<velkor.Robot '{arm.name}': 7 DOF, {arm.link_count} links>"
    assert repr(body) == f"<velkor.FloatingRobot '{body.name}': 12 DOF + 6 base coordinates, {body.link_count} links>"
    name = arm.name
    arm.close()
    assert repr(arm) == f"<velkor.Robot '{name}' (closed)>"


@pytest.mark.parametrize("member", ["link_names", "joints", "dof_names", "lower_limits", "total_mass",
                                    "gravity_vector", "neutral_configuration", "random_configuration"])
def test_a_closed_handle_describes_nothing(arm, member):
    arm.close()
    with pytest.raises(RuntimeError, match="robot is closed"):
        value = getattr(arm, member)
        if callable(value):
            value()


def test_as_matrix_is_a_view_in_the_documented_layout():
    body = FloatingRobot(sample_path("quadruped"))
    base, q = velkor.BaseState(), np.full(body.joint_count, 0.2)
    flat = body.jacobian(base, q, body.link_count - 1)
    jacobian = velkor.as_matrix(flat, rows=6)
    assert jacobian.shape == (6, body.generalized_count) and np.shares_memory(jacobian, flat)
    assert jacobian[4, 2] == flat[2 * 6 + 4]  # column-major: entry (r, c) at c * rows + r
    mass = velkor.as_matrix(body.mass_matrix(base, q), rows=body.generalized_count)
    np.testing.assert_array_equal(mass, mass.T)
    with pytest.raises(ValueError, match="multiple of 6"):
        velkor.as_matrix(np.zeros(7), rows=6)
