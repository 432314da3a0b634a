"""Batch evaluators: every array method over many states, bit-identical to the single calls, for
any thread count, with the failing row named and the handle's protections in place."""

import numpy as np
import pytest

from conftest import press_ctrl_c_during
from velkor import BaseState, FloatingRobot, Load, Robot
from velkor.samples import sample_path

N = 23
RNG = np.random.default_rng(9)


def robot(kind):
    return Robot(sample_path("arm")) if kind == "fixed" else FloatingRobot(sample_path("quadruped"))


def calls(r):
    """(method name, per-row argument lists, shared keyword arguments) for every array method."""
    n, g, tip = r.joint_count, r.generalized_count, r.link_count - 1
    q, qd, qdd = (RNG.uniform(-1, 1, (N, n)) for _ in range(3))
    forces = RNG.uniform(-1, 1, (N, g))
    loads = [Load(tip, torque=(0.1, 0.2, 0.3), force=(1.0, -2.0, 0.5))]
    return [("forward_kinematics_all", [q], {}), ("jacobian", [q], {"target": tip}),
            ("jacobian_derivative", [q, qd], {"target": tip}), ("mass_matrix", [q], {}),
            ("gravity", [q], {"loads": loads}), ("inverse_dynamics", [q, qd, qdd], {"loads": loads}),
            ("velocity_product_forces", [q, qd], {}), ("forward_dynamics", [q, qd, forces], {"loads": loads}),
            ("center_of_mass", [q], {}), ("center_of_mass_velocity", [q, qd], {}), ("center_of_mass_jacobian", [q], {}),
            ("centroidal_momentum", [q, qd], {}), ("centroidal_momentum_matrix", [q], {}),
            ("kinetic_energy", [q, qd], {}), ("potential_energy", [q], {}),
            ("inverse_dynamics_derivatives", [q, qd, qdd], {"loads": loads}),
            ("forward_dynamics_derivatives", [q, qd, forces], {"loads": loads}), ("gravity_derivatives", [q], {})]


def base_rows():
    rows = RNG.uniform(-1, 1, (N, 19))
    rows[:, 3:7] /= np.linalg.norm(rows[:, 3:7], axis=1, keepdims=True)
    return rows


@pytest.mark.parametrize("kind", ["fixed", "floating"])
@pytest.mark.parametrize("threads", [1, 3])
def test_rows_are_the_single_calls(kind, threads):
    r = robot(kind)
    batch = r.batch(threads=threads)
    rows = base_rows()
    lead = (rows,) if kind == "floating" else ()
    for name, per_row, shared in calls(r):
        result = getattr(batch, name)(*lead, *per_row, **shared)
        results = result if isinstance(result, tuple) else (result,)  # the derivatives' pairs and triples
        for i in range(N):
            single_lead = (BaseState.from_array(rows[i]),) if lead else ()
            single = getattr(r, name)(*single_lead, *(a[i] for a in per_row), **shared)
            singles = single if isinstance(single, tuple) else (np.atleast_1d(single),)
            assert [x[i].tobytes() for x in results] == [x.tobytes() for x in singles], (name, i)
        if name.endswith("energy"):
            continue  # no out= (a float per state)
        out = tuple(np.empty_like(x) for x in results)
        given = out if isinstance(result, tuple) else out[0]
        assert getattr(batch, name)(*lead, *per_row, **shared, out=given) is given
        assert [x.tobytes() for x in out] == [x.tobytes() for x in results]


def test_base_states_as_objects_or_rows():
    r, rows = robot("floating"), base_rows()
    q = RNG.uniform(-1, 1, (N, r.joint_count))
    batch = r.batch()
    as_objects = batch.gravity([BaseState.from_array(row) for row in rows], q)
    assert as_objects.tobytes() == batch.gravity(rows, q).tobytes()


@pytest.mark.parametrize("threads", [1, 2])
def test_first_failing_row_is_named(threads):
    r = robot("fixed")
    q = RNG.uniform(-1, 1, (N, r.joint_count))
    q[17, 2] = q[19, 0] = np.nan
    with pytest.raises(ValueError, match=r"^q contains a non-finite value \(row 17\)$"):
        r.batch(threads=threads).gravity(q)
    assert r.gravity(q[0]) is not None  # the handle goes on


@pytest.mark.parametrize("make, error, pattern", [
    (lambda r, q: r.batch().gravity(q[0]), TypeError, "two-dimensional"),
    (lambda r, q: r.batch().inverse_dynamics(q, q[:3], q), ValueError, "same number of rows"),
    (lambda r, q: r.batch().gravity(q, out=np.empty((N, 2))), ValueError, "shape"),
    (lambda r, q: r.batch().inverse_dynamics_derivatives(q, q, q, out=np.empty((N, 49))), TypeError, "tuple of 2"),
    (lambda r, q: r.batch().inverse_dynamics_derivatives(q, q, q, out=(np.empty((N, 49)),) * 2), ValueError, "overlap"),
    (lambda r, q: r.batch().gravity(q[:, :3]), ValueError, r"expected 7 elements in q, found 3 \(row 0\)"),
    (lambda r, q: r.batch(threads=0), ValueError, "threads"),
    (lambda r, q: r.batch(threads=-1), ValueError, r"^threads must be between 1 and 1024, got -1$"),
    (lambda r, q: r.batch(threads=2**64), ValueError, r"^threads must be between 1 and 1024"),
    (lambda r, q: r.batch(threads=2.5), TypeError, r"^argument 'threads': expected None or an integer"),
    # the single calls' classes: TypeError for what out is, ValueError for its shape
    (lambda r, q: r.batch().gravity(q, out=np.empty((N, 7), np.float32)), TypeError, "float64"),
    (lambda r, q: r.batch().gravity(q, out=[[0.0] * 7] * N), TypeError, "float64"),
    (lambda r, q: r.batch().gravity(q, out=np.empty(N * 7)), TypeError, "two-dimensional"),
])
def test_refusals(make, error, pattern):
    r = robot("fixed")
    with pytest.raises(error, match=pattern):
        make(r, RNG.uniform(-1, 1, (N, r.joint_count)))


def test_closed_handle_and_empty_batch():
    r = robot("fixed")
    batch = r.batch()
    assert batch.gravity(np.empty((0, r.joint_count))).shape == (0, r.joint_count)
    r.close()
    with pytest.raises(RuntimeError, match="^robot is closed$"):
        batch.gravity(np.zeros((2, 7)))


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_ends_a_long_batch(threads, default_sigint):
    r = robot("fixed")
    q = RNG.uniform(-1, 1, (400_000, r.joint_count))
    out = np.full_like(q, np.nan)
    press_ctrl_c_during(lambda: r.batch(threads=threads).forward_dynamics(q, q, q, out=out),
                        started=lambda: not np.isnan(out[0]).any())
    assert np.isnan(out[-1]).all()  # stopped early: the last row (of the last thread's chunk) never ran
    assert r.gravity(q[0]).shape == (r.joint_count,)
