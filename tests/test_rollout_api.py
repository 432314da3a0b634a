"""The configuration-space methods and rollouts as callers meet them: batches bit-identical to the
single calls, the errors and their order, out=, a failing step named, Ctrl-C between steps."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velkor
from conftest import press_ctrl_c_during
from velkor import BaseState, FloatingRobot, Robot
from velkor.samples import sample_path

RNG = np.random.default_rng(27)


def robot(kind):
    return Robot(sample_path("arm")) if kind == "fixed" else FloatingRobot(sample_path("quadruped"))


def configurations(r, rows):
    """Random configurations; a floating base's quaternions unnormalised, some with w < 0."""
    q = RNG.uniform(-1, 1, (rows, r.joint_count))
    if r.configuration_size == r.joint_count:
        return q
    quaternions = RNG.standard_normal((rows, 4)) * RNG.uniform(0.5, 2.0, (rows, 1))
    return np.hstack([RNG.uniform(-1, 1, (rows, 3)), quaternions, q])


@pytest.mark.parametrize("kind", ["fixed", "floating"])
@pytest.mark.parametrize("method", ["integrate", "difference", "interpolate", "integrate_derivatives",
                                    "difference_derivatives"])
def test_batch_rows_are_the_single_calls(kind, method):
    r = robot(kind)
    rows = 9
    c0, c1 = configurations(r, rows), configurations(r, rows)
    v = RNG.uniform(-2, 2, (rows, r.generalized_count))
    args = {"integrate": (c0, v, 0.3), "difference": (c0, c1), "interpolate": (c0, c1, 0.4),
            "integrate_derivatives": (c0, v, 0.3), "difference_derivatives": (c0, c1)}[method]
    got = getattr(r.batch(threads=2), method)(*args)
    for i in range(rows):
        single = getattr(r, method)(*(a[i] if isinstance(a, np.ndarray) else a for a in args))
        if isinstance(single, tuple):
            assert all(np.array_equal(g[i], s) for g, s in zip(got, single, strict=True))
        else:
            assert np.array_equal(got[i], single)


def test_text_signatures_take_no_base():
    floating = robot("floating")
    assert floating.integrate.__text_signature__ == "($self, configuration, velocity, dt=1.0, out=None)"
    assert floating.interpolate.__text_signature__ == "($self, configuration0, configuration1, t, out=None)"
    assert floating.rollout.__text_signature__ == (
        "($self, configuration, velocity, forces, dt, *, constraints=None, regularization=0.0, out=None)")
    assert floating.batch().rollout.__text_signature__ == floating.rollout.__text_signature__


def test_base_state_from_configuration_reads_the_leading_values():
    c = np.arange(1.0, 12.0)
    v = -np.arange(1.0, 10.0)
    state = BaseState.from_configuration(c, v)
    assert state.frame.translation == (1.0, 2.0, 3.0) and state.frame.rotation_xyzw == (4.0, 5.0, 6.0, 7.0)
    assert state.velocity.angular == (-1.0, -2.0, -3.0) and state.velocity.linear == (-4.0, -5.0, -6.0)
    assert BaseState.from_configuration(list(c[:7])).velocity == velkor.Twist()
    with pytest.raises(ValueError, match=r"^expected at least 7 elements in configuration, found 6$"):
        BaseState.from_configuration(c[:6])
    with pytest.raises(ValueError, match=r"^expected at least 6 elements in velocity, found 2$"):
        BaseState.from_configuration(c, [1.0, 2.0])
    with pytest.raises(TypeError):
        BaseState.from_configuration(3.0)


def zero_quaternion(r):
    c = configurations(r, 1)[0]
    c[3:7] = 0.0
    return c


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda r, c, v: r.integrate(c[:-1], v), ValueError, r"^expected 19 elements in configuration, found 18$"),
    (lambda r, c, v: r.integrate(c, v[:-1]), ValueError, r"^expected 18 elements in velocity, found 17$"),
    (lambda r, c, v: r.integrate(c, v, np.inf), ValueError, r"^dt must be a finite number, got inf$"),
    (lambda r, c, v: r.integrate(np.where(np.arange(19) == 8, np.nan, c), v), ValueError,
     r"^configuration contains a non-finite value$"),
    (lambda r, c, v: r.difference(c, zero_quaternion(r)), ValueError,
     r"^configuration1 holds a quaternion that cannot be normalised"),
    (lambda r, c, v: r.interpolate(c, c, "half"), TypeError, r"'t'"),
    (lambda r, c, v: r.rollout(c, v, np.zeros((3, 17)), 0.01), ValueError,
     r"^expected 18 elements in each row of forces, found 17$"),
    (lambda r, c, v: r.rollout(c, v, np.zeros(18), 0.01), TypeError, r"^argument 'forces': expected a two-"),
    (lambda r, c, v: r.rollout(c, v, np.zeros((3, 18)), 0.0), ValueError,
     r"^dt must be a finite number above 0, got 0.0$"),
    (lambda r, c, v: r.rollout(c, v, np.zeros((3, 18)), 0.01, constraints=robot("floating").constraint_set([])),
     ValueError, r"^the constraint set belongs to another robot model$"),
    (lambda r, c, v: r.rollout(c, v, np.zeros((3, 18)), 0.01, constraints=3), TypeError, r"'constraints'"),
    (lambda r, c, v: r.rollout(c, v, np.zeros((3, 18)), 0.01, out=(np.zeros((4, 19)), np.zeros((3, 18)))),
     ValueError, r"^out must be a writeable C-contiguous float64 array of shape \(4, 18\)$"),
    (lambda r, c, v: r.batch().rollout(c[None], v[None], np.zeros((2, 3, 18)), 0.01), ValueError,
     r"^configuration and forces must have the same number of rows$"),
])
def test_errors(call, error, message):
    r = robot("floating")
    c, v = configurations(r, 1)[0], RNG.uniform(-1, 1, r.generalized_count)
    with pytest.raises(error, match=message):
        call(r, c, v)
    assert r.integrate(c, v).shape == (19,)  # the handle stays usable


@pytest.mark.parametrize("batch", [False, True])
def test_a_failing_step_is_named_and_the_steps_before_it_are_kept(batch):
    r = robot("floating")
    c, v = configurations(r, 1)[0], RNG.uniform(-1, 1, r.generalized_count)
    forces = RNG.uniform(-1, 1, (6, r.generalized_count))
    clean = r.rollout(c, v, forces, 1e-3)
    forces[4, 2] = np.nan
    out = (np.full((7, 19), -1.0), np.full((7, 18), -1.0))
    suffix = r" \(step 4\)$"
    if batch:
        out = (out[0][None].copy(), out[1][None].copy())
        with pytest.raises(ValueError, match=r"^generalized forces contains a non-finite value \(step 4\) \(row 0\)$"):
            r.batch(1).rollout(c[None], v[None], forces[None], 1e-3, out=out)
        written = (out[0][0], out[1][0])
    else:
        with pytest.raises(ValueError, match=r"^generalized forces contains a non-finite value" + suffix):
            r.rollout(c, v, forces, 1e-3, out=out)
        written = out
    assert np.array_equal(written[0][:5], clean[0][:5]) and np.array_equal(written[1][:5], clean[1][:5])


def test_rollout_starts_from_the_state_as_given_and_zero_steps_return_it():
    r = robot("floating")
    c = configurations(r, 1)[0]
    c[3:7] *= 3.0  # an unnormalised quaternion stays as given in row 0; later rows are unit
    v = RNG.uniform(-1, 1, r.generalized_count)
    cs, vs = r.rollout(c, v, np.zeros((3, 18)), 0.01)
    assert np.array_equal(cs[0], c) and np.array_equal(vs[0], v)
    np.testing.assert_allclose(np.linalg.norm(cs[1:, 3:7], axis=1), 1.0, rtol=0, atol=1e-15)
    cs, vs = r.rollout(c, v, np.zeros((0, 18)), 0.01)
    assert cs.shape == (1, 19) and vs.shape == (1, 18) and np.array_equal(cs[0], c)


def test_out_is_returned_and_may_not_share_memory_with_an_input():
    r = robot("fixed")
    n = r.joint_count
    q, qd, forces = np.zeros(n), np.zeros(n), np.zeros((2, n))
    out = (np.empty((3, n)), np.empty((3, n)))
    assert r.rollout(q, qd, forces, 0.01, out=out) is out
    with pytest.raises(ValueError, match="^The given array is already borrowed$"):
        r.rollout(out[0][0], qd, forces, 0.01, out=out)
    with pytest.raises(ValueError, match="^the arrays in out must not overlap$"):
        r.rollout(q, qd, forces, 0.01, out=(out[0], out[0]))


@pytest.mark.parametrize("threads", [None, 1, 2])
def test_ctrl_c_ends_a_long_rollout_between_steps(threads, default_sigint):
    r = robot("fixed")
    n, steps = r.joint_count, 400_000
    if threads is None:
        forces = np.zeros((steps, n))
        out = (np.full((steps + 1, n), np.nan), np.full((steps + 1, n), np.nan))
        call = lambda: r.rollout(np.zeros(n), np.zeros(n), forces, 1e-4, out=out)
    else:
        forces = np.zeros((2, steps, n))
        out = (np.full((2, steps + 1, n), np.nan), np.full((2, steps + 1, n), np.nan))
        call = lambda: r.batch(threads).rollout(np.zeros((2, n)), np.zeros((2, n)), forces, 1e-4, out=out)
    first = out[1] if threads is None else out[1][0]  # the velocities of the first row
    press_ctrl_c_during(call, started=lambda: not np.isnan(first[1]).any())
    assert np.isnan(out[1][..., -1, :]).all()  # stopped early: no row reached its last step
    assert r.integrate(np.zeros(n), np.ones(n)).shape == (n,)

HANDLES = {}
VALUES = st.sampled_from([0.0, 1.0, -2.5, 1e-300, 1e300, -1e308, np.inf, -np.inf, np.nan])
HOSTILE = st.one_of(st.lists(VALUES, max_size=25).map(np.array), st.just([[1.0] * 19] * 2),
                    st.just("q"), st.just(None), st.lists(VALUES, max_size=25))


@settings(max_examples=150, deadline=None, derandomize=True)
@given(kind=st.sampled_from(["fixed", "floating"]), method=st.sampled_from(
    ["integrate", "difference", "interpolate", "integrate_derivatives", "difference_derivatives", "rollout"]),
    first=HOSTILE, second=HOSTILE, number=VALUES)
def test_hostile_arguments_raise_the_documented_kinds(kind, method, first, second, number):
    r = HANDLES.setdefault(kind, robot(kind))
    args = {"integrate": (first, second, number), "difference": (first, second),
            "interpolate": (first, second, number), "integrate_derivatives": (first, second, number),
            "difference_derivatives": (first, second),
            "rollout": (first, second, np.full((2, r.generalized_count), number), 0.01)}[method]
    try:
        result = getattr(r, method)(*args)
    except (ValueError, TypeError, velkor.SolverError):
        pass
    else:  # accepted: every value it returns is finite
        assert all(np.isfinite(a).all() for a in (result if isinstance(result, tuple) else (result,)))
    c = configurations(r, 1)[0]
    assert np.isfinite(r.integrate(c, np.ones(r.generalized_count), 0.1)).all()  # the handle still works
