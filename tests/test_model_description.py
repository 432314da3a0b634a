"""What a handle tells about its model, its gravity and its repr, on the sample robots; names,
order and limits are checked against the files and Pinocchio in test_cross_validation.py."""

import re
from collections.abc import Mapping
from types import MappingProxyType

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


class Repeating(Mapping):
    """A mapping that names one joint twice when iterated."""

    def __init__(self, names):
        self.names = list(names) + [names[0]]

    def __getitem__(self, name):
        return 0.25

    def __iter__(self):
        return iter(self.names)

    def __len__(self):
        return len(self.names)


class Raising:
    def __float__(self):
        raise ZeroDivisionError("from __float__")


@pytest.fixture(params=["arm", "quadruped"])
def robot(request):
    return (Robot if request.param == "arm" else FloatingRobot)(sample_path(request.param))


@pytest.mark.parametrize("kind", [dict, MappingProxyType, lambda d: dict(reversed(list(d.items())))])
def test_joint_vector_and_joint_dict_round_trip_in_dof_order(robot, kind):
    q = np.random.default_rng(4).uniform(-1.0, 1.0, robot.joint_count)
    named = robot.joint_dict(q)
    assert list(named) == list(robot.dof_names) and list(named.values()) == q.tolist()
    assert all(type(value) is float for value in named.values())
    back = robot.joint_vector(kind(named))
    assert back.dtype == np.float64 and back.shape == (robot.joint_count,) and back.flags.writeable
    np.testing.assert_array_equal(back, q)
    for name in robot.dof_names:
        assert back[robot.dof_index(name)] == named[name]


def test_joint_vector_fills_what_is_left_out_with_default(arm):
    values = {"joint_3": np.float32(0.5), "joint_1": 2, "joint_7": True, "joint_5": np.array(-0.25)}
    np.testing.assert_array_equal(arm.joint_vector(values, default=-1.5), [2, -1.5, 0.5, -1.5, -0.25, -1.5, 1])
    complete = dict.fromkeys(arm.dof_names, 0.125)
    np.testing.assert_array_equal(arm.joint_vector(complete, 7), np.full(7, 0.125))
    with pytest.raises(ValueError, match="lacks 3 of the 7"):
        arm.joint_vector(values, default=None)


@pytest.mark.parametrize("mapping, default, error, message", [
    ({"joint_44": 1.0}, 0.0, ValueError, r"^mapping: no degree of freedom is named 'joint_44'; close matches: \["),
    ({"zzz": 1.0}, 0.0, ValueError, r"^mapping: no degree of freedom is named 'zzz'$"),
    ({"tool_mount": 1.0}, 0.0, ValueError, r"^mapping: 'tool_mount' is a fixed joint, not a degree of freedom$"),
    ({"joint_1\0": 1.0}, 0.0, ValueError, r"named 'joint_1\\x00'"),  # not joint_1 cut at the NUL
    ({"joint_1": 1.0}, None, ValueError,
     r"^mapping lacks 6 of the 7 degrees of freedom: 'joint_2', 'joint_3', 'joint_4', 'joint_5', 'joint_6', "
     r"'joint_7' \(pass default= to fill them\)$"),
    ({}, None, ValueError, r"^mapping lacks 7 of the 7 degrees of freedom: 'joint_1', .*'joint_6' and 1 more \("),
    ({"joint_2": float("nan")}, 0.0, ValueError, r"^mapping\['joint_2'\]: must be finite, not nan$"),
    ({"joint_2": -np.inf}, 0.0, ValueError, r"^mapping\['joint_2'\]: must be finite, not -inf$"),
    ({"joint_2": "1.0"}, 0.0, TypeError, r"^mapping\['joint_2'\]: must be real number, not str$"),
    ({"joint_2": None}, 0.0, TypeError, r"^mapping\['joint_2'\]: must be real number, not NoneType$"),
    ({"joint_2": 1j}, 0.0, TypeError, r"not complex$"),
    ({"joint_2": np.complex128(1.0)}, 0.0, TypeError, r"not numpy.complex128$"),
    ({"joint_2": np.array([1.0])}, 0.0, TypeError, r"not numpy.ndarray of shape \(1,\)$"),
    ({"joint_2": 10**400}, 0.0, TypeError, r"^mapping\['joint_2'\]: int too large"),
    ({"bad\0": Raising()}, 0.0, ValueError, r"'bad\\x00'"),  # names are checked before values
    ({"joint_2": Raising()}, 0.0, ZeroDivisionError, "from __float__"),
    ({1: 1.0}, 0.0, TypeError, r"^mapping keys must be joint names \(str\), got int$"),
    ([("joint_1", 1.0)], 0.0, TypeError, r"^argument 'mapping': expected a mapping of joint names to numbers, got list$"),
    (None, 0.0, TypeError, "expected a mapping"),
    ({}, "0", TypeError, r"^argument 'default': must be real number, not str$"),
    ({}, float("inf"), ValueError, r"^argument 'default': must be finite, not inf$"),
    (Repeating(["joint_1"]), 0.0, ValueError, r"^'joint_1' appears twice in mapping$"),
])
def test_joint_vector_refuses_what_would_be_a_silent_mistake(arm, mapping, default, error, message):
    with pytest.raises(error, match=message):
        arm.joint_vector(mapping, default)


def test_joint_vector_reads_a_snapshot_of_a_mapping_its_values_change():
    arm = Robot(sample_path("arm"))
    mapping = dict.fromkeys(arm.dof_names, 0.5)

    class Clearing:
        def __float__(self):
            mapping.clear()
            return 1.5

    mapping["joint_1"] = Clearing()
    np.testing.assert_array_equal(arm.joint_vector(mapping), [1.5] + [0.5] * 6)


def test_floating_robot_joint_vectors_hold_the_joints_only():
    body = FloatingRobot(sample_path("quadruped"))
    q = body.joint_vector({}, default=0.5)
    assert q.shape == (body.joint_count,) == (12,)
    with pytest.raises(ValueError, match=r"^mapping: no degree of freedom is named 'torso'$"):
        body.joint_vector({"torso": 1.0}, default=0.0)  # the root link is the base, not a DOF
    with pytest.raises(ValueError, match=r"^expected 12 elements in q, found 18$"):
        body.joint_dict(np.zeros(body.generalized_count))


@pytest.mark.parametrize("q, error, message", [
    ([], ValueError, r"^expected 7 elements in q, found 0$"),
    (np.zeros(6), ValueError, r"^expected 7 elements in q, found 6$"),
    (range(8), ValueError, r"^expected 7 elements in q, found 8$"),
    (np.zeros((7, 1)), TypeError, "one-dimensional"),
])
def test_joint_dict_checks_the_length_and_shape_of_q(arm, q, error, message):
    with pytest.raises(error, match=message):
        arm.joint_dict(q)


@pytest.mark.parametrize("q", [list(range(7)), tuple(range(7)), np.arange(7), np.arange(14.0)[::2] / 2,
                               np.arange(7, dtype=np.float32), np.arange(7.0).astype(">f8")])
def test_joint_dict_reads_q_as_the_computing_methods_do(arm, q):
    assert list(arm.joint_dict(q).values()) == np.asarray(q, dtype=float).tolist()


def test_joint_dict_shows_non_finite_values_and_both_refuse_a_closed_handle(arm):
    q = np.zeros(7)
    q[3] = np.nan
    assert np.isnan(arm.joint_dict(q)["joint_4"])
    arm.close()
    for call in (lambda: arm.joint_vector({}, 0.0), lambda: arm.joint_dict(np.zeros(7))):
        with pytest.raises(RuntimeError, match="robot is closed"):
            call()


@pytest.mark.parametrize("name, message", [
    ("tol", r"^link tol does not exist in the model; close matches: \['tool'\]$"),
    ("zzz", r"^link zzz does not exist in the model$"),
])
def test_link_id_suggests_close_names(arm, name, message):
    with pytest.raises(ValueError, match=message):
        arm.link_id(name)
