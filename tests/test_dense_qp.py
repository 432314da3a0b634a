"""The inverse-kinematics QP solver alone, on random and degenerate problems, against DAQP."""

import numpy as np
import pytest
from peers import TESTING

testing = pytest.importorskip("_velkor_testing", reason=TESTING)
daqp = pytest.importorskip("daqp", reason="needs DAQP (PyPI package 'daqp'), which cannot be imported here")


def velkor_qp(H, g, A, b, lower, upper):
    status, x = testing.dense_qp(H.ravel(order="F"), g, A.ravel(order="F"), b, lower, upper)
    return status, np.array(x)


def daqp_qp(H, g, A, b, lower, upper):
    """DAQP with the bounds as simple bounds and the rows as equalities (sense 5)."""
    n, m = len(g), len(b)
    sense = np.concatenate([np.zeros(n), 5 * np.ones(m)]).astype(np.int32)
    x, _, flag, _ = daqp.solve(H, g, A.reshape(m, n), np.concatenate([upper, b]), np.concatenate([lower, b]), sense)
    return flag, np.asarray(x)


def problem(seed, n, m, bound):
    rng = np.random.default_rng(seed)
    M = rng.normal(size=(n, n))
    H = M @ M.T + 0.1 * np.eye(n)
    return H, rng.normal(size=n), rng.normal(size=(m, n)), 0.3 * rng.normal(size=m), -bound * np.ones(n), bound * np.ones(n)


@pytest.mark.parametrize("seed", range(20))
@pytest.mark.parametrize(("n", "m", "bound"), [(6, 0, 0.2), (6, 2, 0.5), (9, 3, 0.4), (3, 0, 1e30)])
def test_random_problems_agree_with_daqp(seed, n, m, bound):
    H, g, A, b, lower, upper = problem(seed, n, m, bound)
    status, x = velkor_qp(H, g, A, b, lower, upper)
    flag, y = daqp_qp(H, g, A, b, lower, upper)
    if flag == 1:
        assert status == "solved"
        np.testing.assert_allclose(x, y, atol=1e-6)
    else:
        assert status == "infeasible"


def test_dependent_equalities_that_agree_are_solved():
    H, g, A, b, lower, upper = problem(3, 5, 2, 10.0)
    A2, b2 = np.vstack([A, 2.0 * A[0]]), np.append(b, 2.0 * b[0])
    status, x = velkor_qp(H, g, A2, b2, lower, upper)
    assert status == "solved"
    np.testing.assert_allclose(A2 @ x, b2, atol=1e-9)
    np.testing.assert_allclose(x, daqp_qp(H, g, A, b, lower, upper)[1], atol=1e-6)


def test_dependent_equalities_that_disagree_are_infeasible():
    H, g, A, b, lower, upper = problem(4, 5, 2, 10.0)
    status, _ = velkor_qp(H, g, np.vstack([A, A[0]]), np.append(b, b[0] + 1.0), lower, upper)
    assert status == "infeasible"


def test_a_bound_and_an_equality_that_conflict_are_infeasible():
    n = 3
    H, g = np.eye(n), np.zeros(n)
    A, b = np.array([[1.0, 0.0, 0.0]]), np.array([2.0])  # x0 = 2 against x0 <= 1
    status, _ = velkor_qp(H, g, A, b, -np.ones(n), np.ones(n))
    assert status == "infeasible"
    assert daqp_qp(H, g, A, b, -np.ones(n), np.ones(n))[0] != 1


def test_an_empty_active_set_is_the_unconstrained_minimum():
    H, g, A, b, _, _ = problem(5, 4, 0, 1.0)
    far = 1e30 * np.ones(4)
    status, x = velkor_qp(H, g, A, b, -far, far)
    assert status == "solved"
    np.testing.assert_allclose(x, -np.linalg.solve(H, g), rtol=1e-12, atol=1e-14)


def test_a_matrix_that_is_not_positive_definite_is_named():
    H = np.diag([1.0, -1.0])
    assert velkor_qp(H, np.zeros(2), np.zeros((0, 2)), np.zeros(0), -np.ones(2), np.ones(2))[0] == "not_positive_definite"


def test_a_bound_degenerate_vertex_is_solved_or_named_cycling():
    # Many bound constraints active at one vertex, the equality through the same vertex: the active-set changes
    # have ties everywhere. The solver settles or says it cycled; it never calls the problem infeasible.
    n = 8
    H = np.eye(n) + 1e-12 * np.ones((n, n))
    g = -np.ones(n)
    A, b = np.ones((1, n)), np.array([0.0])
    status, x = velkor_qp(H, g, A, b, np.zeros(n), np.zeros(n))
    assert status in ("solved", "cycling")
    if status == "solved":
        np.testing.assert_allclose(x, 0.0, atol=1e-12)


@pytest.mark.parametrize("seed", range(5))
@pytest.mark.parametrize("n", [1, 4])
def test_more_independent_equalities_than_unknowns_fix_x_or_are_infeasible(seed, n):
    """n + 3 rows of rank n: x is the one point they all pass through, or there is none."""
    H, g, A, _, lower, upper = problem(seed, n, n + 3, 10.0)
    x0 = np.random.default_rng(seed).uniform(-1.0, 1.0, n)
    status, x = velkor_qp(H, g, A, A @ x0, lower, upper)
    assert status == "solved"
    np.testing.assert_allclose(x, x0, atol=1e-9)
    assert velkor_qp(H, g, A, A @ x0 + np.eye(n + 3)[-1], lower, upper)[0] == "infeasible"


@pytest.mark.parametrize(("b", "status"), [(0.0, "solved"), (1e-3, "infeasible")])
def test_no_unknowns_meet_zero_rows_only(b, status):
    empty = np.zeros(0)
    got, x = velkor_qp(np.zeros((0, 0)), empty, np.zeros((2, 0)), np.array([0.0, b]), empty, empty)
    assert got == status and x.size == 0
