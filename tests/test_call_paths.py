"""The common call (plain float64 vectors given by position) and every other form of the same call
give the same numbers and the same errors, whichever way the binding reads them."""

import numpy as np
import pytest

from velkor import BaseState, FloatingRobot, Pose, Robot, Twist
from velkor.samples import sample_path

RNG = np.random.default_rng(7)
Q7 = RNG.uniform(-1, 1, 7)


class Sub(np.ndarray):
    pass


def forms(values):
    """The values as the common call gives them, then as forms the binding reads another way."""
    plain = np.array(values, dtype=np.float64)
    fortran_2d = np.asfortranarray(plain.reshape(-1, 1))[:, 0]  # a 1-D view that is F- and C-contiguous
    return [plain, list(values), plain.view(Sub), plain.astype(">f8"), np.repeat(plain, 2)[::2], fortran_2d]


def arm_calls():
    arm = Robot(sample_path("arm"))
    quadruped = FloatingRobot(sample_path("quadruped"))
    base = BaseState(Pose((0.1, 0.2, 0.3), (0.1, 0.2, 0.3, 0.9)), Twist((0.1, 0, 0), (0, 0.2, 0)))
    q12 = RNG.uniform(-1, 1, 12)
    return [
        ("inverse_dynamics", arm, (), [Q7, Q7, Q7], ()),
        ("mass_matrix", arm, (), [Q7], ()),
        ("jacobian", arm, (), [Q7], (5,)),
        ("forward_kinematics", arm, (), [Q7], (7,)),
        ("forward_dynamics", quadruped, (base,), [q12, q12, RNG.uniform(-1, 1, 18)], ()),
        ("jacobian", quadruped, (base,), [q12], (3,)),
    ]


@pytest.mark.parametrize("index", range(6), ids=lambda i: ["id", "M", "J", "fk", "floating fd", "floating J"][i])
@pytest.mark.parametrize("form", range(1, 6), ids=["list", "subclass", "big-endian", "strided", "2-d view"])
def test_every_form_gives_the_common_call_s_numbers(index, form):
    name, robot, lead, vectors, rest = arm_calls()[index]
    method = getattr(robot, name)
    expected = method(*lead, *vectors, *rest)
    for i in range(len(vectors)):
        changed = list(vectors)
        changed[i] = forms(vectors[i])[form]
        got = method(*lead, *changed, *rest)
        if isinstance(expected, np.ndarray):
            assert got.tobytes() == expected.tobytes()
        else:
            assert got == expected
    if isinstance(expected, np.ndarray):  # out given by position and by keyword, and a numpy integer target
        out = np.full(expected.size, np.nan)
        assert method(*lead, *vectors, *rest, out=out) is out and out.tobytes() == expected.tobytes()
    if rest:
        assert np.array_equal(method(*lead, *vectors, np.int64(rest[0])), expected)


@pytest.mark.parametrize("case", ["target", "length", "read-only", "aliases q", "short q", "tuple overlap", "kwargs"])
def test_errors_are_the_same_on_both_paths(case):
    arm = Robot(sample_path("arm"))
    q = Q7.copy()
    bad_out = np.empty(7)
    if case == "target":
        calls = [lambda q: arm.jacobian(q, 99)]
        error, text = ValueError, "invalid link id 99"
    elif case == "length":
        calls = [lambda q: arm.inverse_dynamics(q, q, q, None, np.empty(6))]
        error, text = ValueError, "out must contain exactly 7 elements"
    elif case == "read-only":
        bad_out.flags.writeable = False
        calls = [lambda q: arm.inverse_dynamics(q, q, q, None, bad_out)]
        error, text = ValueError, "The given array is not writeable"
    elif case == "aliases q":
        calls = [lambda q: arm.inverse_dynamics(q, q, q, None, q)]
        error, text = ValueError, "The given array is already borrowed"
    elif case == "short q":
        calls = [lambda q: arm.inverse_dynamics(q[:6], q, q)]
        error, text = ValueError, "q and qd must have the same length"
    elif case == "tuple overlap":
        shared = np.empty(49)
        calls = [lambda q: arm.inverse_dynamics_derivatives(q, q, q, None, (shared, shared))]
        error, text = ValueError, "the arrays in out must not overlap"
    else:
        calls = [lambda q: arm.inverse_dynamics(q, q, qdd=q, out=bad_out[:6])]
        error, text = ValueError, "out must contain exactly 7 elements"
    forms = (q, q.view(Sub)) if case == "aliases q" else (q, list(q), q.view(Sub))
    for form in forms:  # the common form first, then forms the general path reads
        for call in calls:
            with pytest.raises(error, match=f"^{text}$"):
                call(form)
    # nothing stays held after a refused call: the same arrays work at once
    assert np.isfinite(arm.inverse_dynamics(q, q, q, None, bad_out if bad_out.flags.writeable else None)).all()


def test_holds_of_the_common_call_end_with_it():
    """A call's holds on q and out end when it returns, so the roles can swap in the next call."""
    arm = Robot(sample_path("arm"))
    a, b = Q7.copy(), np.empty(7)
    for _ in range(3):
        expected = arm.gravity(a)
        assert arm.gravity(a, None, b) is b and b.tobytes() == expected.tobytes()
        a, b = b, a  # the array just written is read next, the one read is written


@pytest.mark.parametrize("name, vectors", [
    ("constrained_forward_dynamics", 3), ("impulse_dynamics", 2), ("constraint_jacobian", 1),
    ("constraint_acceleration_bias", 2), ("constrained_dynamics_derivatives", 3), ("constraint_poses", 1)])
def test_a_needed_constraint_set_given_as_none_is_a_type_error(name, vectors):
    """None where a method needs its constraint set is refused in the common form too, not read."""
    arm = Robot(sample_path("arm"))
    with pytest.raises(TypeError, match="constraints"):
        getattr(arm, name)(*[Q7.copy() for _ in range(vectors)], None)
