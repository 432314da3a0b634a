"""The configuration space of both handle kinds: integrate, difference, interpolate and their
derivatives, checked against their defining identities, against central differences and against
Pinocchio, on Solo12 and Talos (floating) and the Panda (fixed), at configurations whose
quaternions are near the identity, near a half turn, have a negative w or are not normalised.

A configuration is [p, quaternion (x, y, z, w), joints] for a FloatingRobot and q for a Robot; a
velocity, and a tangent perturbation δ, is [ω, v (world axes), joint rates]. c ⊕ δ =
integrate(c, δ, 1): the base turns by exp([δθ]×) on the left, about the root-link origin, and the
origin moves by δp; derivative columns are measured with difference(out, out_perturbed).

Pinocchio's free flyer has the same configuration layout, but its velocity is local (linear first,
then angular, body axes) and integrate follows the screw M·exp6(ν). The helpers below convert
exactly (screw_velocity, decoupled_velocity) and also compare against a root joint made of a
translation followed by a spherical joint, which moves the way velkor's base does. The robots
have no continuous joints (Pinocchio's (cos, sin) joints); mimic joints load as independent
joints in both libraries, so every joint is one coordinate on both sides, matched by name.
"""

import functools
import sys
from pathlib import Path

import numpy as np
import pytest
from peers import NEEDS_PINOCCHIO
from peers import pinocchio as pin

from conftest import matrix_quat, quat_from_rotvec, quat_matrix

sys.path.insert(0, str(Path(__file__).parent.parent / "benchmarks"))
import robots  # noqa: E402

LABELS = {"Solo12": "Solo12 (floating)", "Talos": "Talos (floating)", "Panda": "Panda"}
ANGLES = [0.0, 1e-9, 0.4, 1.7, 3.0, 3.1]  # rotation angles |dt·ω| of the steps: below π, log recovers them
STEPS = [1.0, 0.37, 0.01]


def unit(rng):
    x = rng.normal(size=3)
    return x / np.linalg.norm(x)


def quaternion(kind, rng):
    """A (not necessarily unit) quaternion x, y, z, w of the given kind."""
    axis = unit(rng)
    return {"random": lambda: rng.normal(size=4),
            "identity": lambda: np.array([0.0, 0.0, 0.0, 1.0]),
            "near identity": lambda: np.array(quat_from_rotvec(1e-9 * axis)),
            "near identity, w < 0": lambda: -np.array(quat_from_rotvec(1e-4 * axis)),
            "half turn": lambda: np.r_[axis, 0.0],
            "near half turn": lambda: np.array(quat_from_rotvec((np.pi - 1e-7) * axis)),
            "near half turn, w < 0": lambda: -np.array(quat_from_rotvec((np.pi - 1e-3) * axis)),
            "w < 0": lambda: np.r_[rng.normal(size=3), -abs(rng.normal())],
            "unnormalised": lambda: 4.7 * rng.normal(size=4),
            "unnormalised, small": lambda: 0.03 * rng.normal(size=4)}[kind]()


KINDS = ["random", "identity", "near identity", "near identity, w < 0", "half turn", "near half turn",
         "near half turn, w < 0", "w < 0", "unnormalised", "unnormalised, small"]


@functools.cache
def robot_of(label):
    return robots.velkor_handle(robots.case(LABELS[label]))


def floating(robot):
    return robot.generalized_count > robot.joint_count


def configuration(robot, kind, rng):
    q = rng.uniform(-1.5, 1.5, robot.joint_count)
    return np.r_[rng.normal(size=3), quaternion(kind, rng), q] if floating(robot) else q


def velocity(robot, angle, dt, rng):
    """A velocity whose rotation over dt turns by the given angle."""
    rates = rng.normal(size=robot.joint_count)
    return np.r_[angle / dt * unit(rng), rng.normal(size=3), rates] if floating(robot) else rates


def states(robot, seed):
    """(configuration, velocity, dt) for every quaternion kind, the step angles cycling."""
    rng = np.random.default_rng(seed)
    for k, kind in enumerate(KINDS):
        dt = STEPS[k % len(STEPS)]
        yield configuration(robot, kind, rng), velocity(robot, ANGLES[k % len(ANGLES)], dt, rng), dt


def square(flat, N):
    """A column-major N·N array as a matrix."""
    return np.asarray(flat).reshape(N, N, order="F")


def assert_close(ours, want, tolerance):
    scale = max(1.0, np.abs(want).max())
    assert np.abs(np.asarray(ours) - want).max() <= tolerance * scale, np.abs(np.asarray(ours) - want).max() / scale


def assert_same_configuration(robot, ours, want, tolerance=1e-12):
    """Positions and joints equal; the quaternions unit and equal up to sign."""
    ours, want = np.asarray(ours, float), np.asarray(want, float)
    if floating(robot):
        quat, other = ours[3:7], want[3:7] / np.linalg.norm(want[3:7])
        assert abs(np.linalg.norm(quat) - 1) <= 4e-16 * 8
        assert min(np.abs(quat - other).max(), np.abs(quat + other).max()) <= tolerance
        ours, want = np.r_[ours[:3], ours[7:]], np.r_[want[:3], want[7:]]
    assert_close(ours, want, tolerance)


def other_configuration(robot, c, rng):
    """A configuration at most 2.5 rad of rotation away from c (the logarithm stays well conditioned)."""
    if not floating(robot):
        return c + rng.normal(size=c.size)
    turn = quat_from_rotvec(rng.uniform(0, 2.5) * unit(rng))
    R = quat_matrix(turn) @ quat_matrix(c[3:7])
    quat = matrix_quat(R) * rng.uniform(0.5, 2)
    return np.r_[c[:3] + rng.normal(size=3), quat, c[7:] + rng.normal(size=c.size - 7)]


# --------------------------------------------------------------------------------------------
# Identities and central differences

@pytest.mark.parametrize("label", LABELS)
def test_difference_inverts_integrate_and_the_velocity_is_held(label):
    robot = robot_of(label)
    for c, u, dt in states(robot, 1):
        out = robot.integrate(c, u, dt)
        assert out.shape == (robot.configuration_size,)
        assert_same_configuration(robot, robot.integrate(c, np.zeros_like(u), dt), c)
        assert_close(robot.difference(c, out), dt * u, 1e-12)
        # ω and the origin's v are held in world axes: the path's velocity is u at its start and its end
        for t in (0.0, dt):
            h = 1e-4 * dt
            start = robot.integrate(c, u, t)
            ahead, behind = robot.integrate(c, u, t + h), robot.integrate(c, u, t - h)
            assert_close((robot.difference(start, ahead) - robot.difference(start, behind)) / (2 * h), u, 1e-8)
    if floating(robot):  # past a half turn the difference takes the shorter way round
        u = velocity(robot, 4.0, 1.0, np.random.default_rng(7))
        c = configuration(robot, "random", np.random.default_rng(7))
        back = u.copy()
        back[:3] *= 1 - 2 * np.pi / 4.0
        assert_close(robot.difference(c, robot.integrate(c, u)), back, 1e-12)


@pytest.mark.parametrize("label", LABELS)
def test_interpolate_follows_the_difference(label):
    robot, rng = robot_of(label), np.random.default_rng(2)
    for c0, _, _ in states(robot, 2):
        c1 = other_configuration(robot, c0, rng)
        step = robot.difference(c0, c1)
        assert_same_configuration(robot, robot.integrate(c0, step), c1)
        for t in (0.0, 0.5, 0.3, 1.0):
            middle = robot.interpolate(c0, c1, t)
            assert_same_configuration(robot, middle, robot.integrate(c0, step, t))
            assert_same_configuration(robot, middle, robot.integrate(c0, t * step, 1.0))
        assert_same_configuration(robot, robot.interpolate(c0, c1, 0.0), c0)
        assert_same_configuration(robot, robot.interpolate(c0, c1, 1.0), c1)


def plus(robot, c, delta):
    return robot.integrate(c, delta, 1.0)


def central(f, size, h=1e-5):
    return np.array([(f(h * e) - f(-h * e)) / (2 * h) for e in np.eye(size)]).T


@pytest.mark.parametrize("label", LABELS)
def test_derivatives_agree_with_central_differences(label):
    robot, rng = robot_of(label), np.random.default_rng(3)
    N = robot.generalized_count
    for c, u, dt in states(robot, 3):
        out = robot.integrate(c, u, dt)
        d_c, d_v = (square(m, N) for m in robot.integrate_derivatives(c, u, dt))
        moved = central(lambda d: robot.difference(out, robot.integrate(plus(robot, c, d), u, dt)), N)
        assert_close(d_c, moved, 1e-9)
        assert_close(d_v, central(lambda d: robot.difference(out, robot.integrate(c, u + d, dt)), N), 1e-9)

        c1 = other_configuration(robot, c, rng)
        d_0, d_1 = (square(m, N) for m in robot.difference_derivatives(c, c1))
        assert_close(d_0, central(lambda d: robot.difference(plus(robot, c, d), c1), N), 1e-9)
        assert_close(d_1, central(lambda d: robot.difference(c, plus(robot, c1, d)), N), 1e-9)


# --------------------------------------------------------------------------------------------
# Pinocchio

def left_jacobian(phi):
    """The SO(3) left Jacobian V(φ), the translation part of exp6: exp6((ν_lin, φ)) moves by V(φ)·ν_lin
    (Pinocchio's Jexp3 is the right Jacobian, V(φ)ᵀ)."""
    return np.asarray(pin.Jexp3(np.asarray(phi, float))).T


def screw_velocity(R, w):
    """Pinocchio's free-flyer tangent ν (linear, angular; body axes) with M·exp6(ν) = our step of a
    base at rotation R by w = dt·(ω, v): ν_ang = Rᵀ·dt·ω, ν_lin = V(ν_ang)⁻¹·Rᵀ·dt·v. Then
    exp6(ν) = (exp3(Rᵀ dt ω), Rᵀ dt v), so R·exp3(Rᵀ dt ω) = exp3(dt ω)·R and p + R·Rᵀ dt v = p + dt v.

    Also dν/dw and dν/dθ (the base turned by θ, world axes, w fixed): ν = log6(X) with
    X = (exp3(φ), t), φ = Rᵀ w_ω, t = Rᵀ w_v; X moves on the right by ξ (linear, angular) with
    ξ_ang = Jr(φ)·dφ, ξ_lin = exp3(φ)ᵀ·dt, and dν = Jlog6(X)·ξ. Turning the base changes Rᵀ by
    −Rᵀ[θ]×: dφ = Rᵀ[w_ω]×θ, dt = Rᵀ[w_v]×θ."""
    phi, t = R.T @ w[:3], R.T @ w[3:]
    nu = np.r_[np.linalg.solve(left_jacobian(phi), t), phi]
    X = pin.SE3(pin.exp3(phi), t)
    log_jacobian, right = np.asarray(pin.Jlog6(X)), left_jacobian(phi).T
    d_w = log_jacobian @ np.block([[np.zeros((3, 3)), X.rotation.T @ R.T], [right @ R.T, np.zeros((3, 3))]])
    d_theta = log_jacobian @ np.vstack([X.rotation.T @ R.T @ pin.skew(w[3:]), right @ R.T @ pin.skew(w[:3])])
    return nu, d_w, d_theta


def decoupled_velocity(R0, nu):
    """Our (ω, v) from Pinocchio's free-flyer ν = difference(q0, q1) (linear, angular; body axes at R0):
    exp6(ν) = M0⁻¹M1 = (R0ᵀR1, R0ᵀ(p1 − p0)), so ω = log(R1R0ᵀ) = R0·ν_ang and
    v = p1 − p0 = R0·V(ν_ang)·ν_lin.

    Also d(ω, v)/dν (exp6(ν) moves on the right by ξ = Jexp6(ν)·dν, its translation by R0ᵀR1·ξ_lin)
    and d(ω, v)/dθ0 at fixed ν (turning R0 by θ0 turns both: −[ω]×θ0, −[v]×θ0)."""
    Y = pin.exp6(pin.Motion(nu))
    w = np.r_[R0 @ nu[3:], R0 @ Y.translation]
    assert_close(w[3:], R0 @ left_jacobian(nu[3:]) @ nu[:3], 1e-14)
    d_nu = np.zeros((6, 6))
    d_nu[0:3, 3:6] = R0
    d_nu[3:6] = R0 @ Y.rotation @ np.asarray(pin.Jexp6(pin.Motion(nu)))[0:3]
    return w, d_nu, np.vstack([-pin.skew(w[:3]), -pin.skew(w[3:])])


def split_velocity(R, w):
    """The translation + spherical root: ν = (dt·v, Rᵀ·dt·ω), as for screw_velocity."""
    nu = np.r_[w[3:], R.T @ w[:3]]
    d_w = np.block([[np.zeros((3, 3)), np.eye(3)], [R.T, np.zeros((3, 3))]])
    return nu, d_w, np.vstack([np.zeros((3, 3)), R.T @ pin.skew(w[:3])])


def split_decoupled(R0, nu):
    """The translation + spherical root: ω = R0·ν_ang, v = ν_lin, as for decoupled_velocity."""
    w = np.r_[R0 @ nu[3:], nu[:3]]
    d_nu = np.block([[np.zeros((3, 3)), R0], [np.eye(3), np.zeros((3, 3))]])
    return w, d_nu, np.vstack([-pin.skew(w[:3]), np.zeros((3, 3))])


ROOTS = {"free flyer": (screw_velocity, decoupled_velocity),
         "translation + spherical": (split_velocity, split_decoupled)}


class Peer:
    """Pinocchio's model of a label with the given root joint, and the conversions of our arrays."""

    def __init__(self, label, root):
        self.robot, self.root = robot_of(label), root
        path = str(robots.urdf_path(robots.case(LABELS[label]).file))
        if root is None:
            self.model = pin.buildModelFromUrdf(path)
        elif root == "free flyer":
            self.model = pin.buildModelFromUrdf(path, pin.JointModelFreeFlyer())
        else:
            joint = pin.JointModelComposite(2)
            joint.addJoint(pin.JointModelTranslation())
            joint.addJoint(pin.JointModelSpherical())
            self.model = pin.buildModelFromUrdf(path, joint)
        joints = [self.model.joints[self.model.getJointId(name)] for name in self.robot.dof_names]
        assert all(j.nq == 1 and j.nv == 1 for j in joints)
        self.iq, self.iv = [j.idx_q for j in joints], [j.idx_v for j in joints]
        self.o = 0 if root is None else 6
        self.to_peer, self.from_peer = ROOTS.get(root, (None, None))

    def configuration(self, c):
        pq = np.zeros(self.model.nq)
        if self.o:
            pq[:3], pq[3:7] = c[:3], c[3:7] / np.linalg.norm(c[3:7])
        pq[self.iq] = c[7:] if self.o else c
        return pq

    def ours(self, pq):
        joints = pq[self.iq]
        return np.r_[pq[:7], joints] if self.o else joints

    def tangent(self, c):
        """T(c): Pinocchio's tangent at c = T·ours (δθ, δp world) at first order; orthogonal."""
        N = self.robot.generalized_count
        T = np.zeros((self.model.nv, N))
        T[self.iv, np.arange(self.o, N)] = 1
        if self.o:
            Rt = quat_matrix(c[3:7]).T
            T[3:6, 0:3] = Rt  # the turn, seen in body axes
            T[0:3, 3:6] = Rt if self.root == "free flyer" else np.eye(3)  # M·exp6 moves the origin in body axes
        return T

    def step(self, c, u, dt):
        """Pinocchio's ν for our integrate(c, u, dt), dν/du and dν/dδc (our tangent of c)."""
        N, nv = self.robot.generalized_count, self.model.nv
        nu, d_u, d_c = np.zeros(nv), np.zeros((nv, N)), np.zeros((nv, N))
        nu[self.iv] = dt * u[self.o:]
        d_u[self.iv, np.arange(self.o, N)] = dt
        if self.o:
            nu[:6], d_w, d_c[:6, :3] = self.to_peer(quat_matrix(c[3:7]), dt * u[:6])
            d_u[:6, :6] = dt * d_w
        return nu, d_u, d_c

    def difference(self, c0, nu):
        """Our difference from Pinocchio's ν, d(ours)/dν and d(ours)/dδc0 at fixed ν."""
        N, nv = self.robot.generalized_count, self.model.nv
        w, d_nu, d_c0 = np.zeros(N), np.zeros((N, nv)), np.zeros((N, N))
        w[self.o:] = nu[self.iv]
        d_nu[np.arange(self.o, N), self.iv] = 1
        if self.o:
            w[:6], d_nu[:6, :6], d_c0[:6, :3] = self.from_peer(quat_matrix(c0[3:7]), nu[:6])
        return w, d_nu, d_c0


PEERS = [("Solo12", "free flyer"), ("Solo12", "translation + spherical"), ("Talos", "free flyer"),
         ("Talos", "translation + spherical"), ("Panda", None)]


@NEEDS_PINOCCHIO
@pytest.mark.parametrize(("label", "root"), PEERS)
def test_agrees_with_pinocchio(label, root):
    peer = Peer(label, root)
    robot, model, rng = peer.robot, peer.model, np.random.default_rng(4)
    first, second = pin.ArgumentPosition.ARG0, pin.ArgumentPosition.ARG1
    for c, u, dt in states(robot, 4):
        pq = peer.configuration(c)
        nu, nu_u, nu_c = peer.step(c, u, dt)
        out = robot.integrate(c, u, dt)
        assert_same_configuration(robot, out, peer.ours(pin.integrate(model, pq, nu)))
        d_c, d_v = (square(m, robot.generalized_count) for m in robot.integrate_derivatives(c, u, dt))
        back = peer.tangent(out).T
        assert_close(d_v, back @ pin.dIntegrate(model, pq, nu, second) @ nu_u, 1e-12)
        assert_close(d_c, back @ (pin.dIntegrate(model, pq, nu, first) @ peer.tangent(c)
                                  + pin.dIntegrate(model, pq, nu, second) @ nu_c), 1e-12)

        c1 = other_configuration(robot, c, rng)
        pq1 = peer.configuration(c1)
        w, w_nu, w_c0 = peer.difference(c, pin.difference(model, pq, pq1))
        assert_close(robot.difference(c, c1), w, 1e-12)
        d_0, d_1 = (square(m, robot.generalized_count) for m in robot.difference_derivatives(c, c1))
        assert_close(d_1, w_nu @ pin.dDifference(model, pq, pq1, second) @ peer.tangent(c1), 1e-12)
        assert_close(d_0, w_nu @ pin.dDifference(model, pq, pq1, first) @ peer.tangent(c) + w_c0, 1e-12)


# --------------------------------------------------------------------------------------------
# Refused input

CALLS = {  # the spoiled configuration c is the second one where there are two
    "integrate": lambda r, good, c, u: r.integrate(c, u, 0.1),
    "difference": lambda r, good, c, u: r.difference(good, c),
    "interpolate": lambda r, good, c, u: r.interpolate(good, c, 0.5),
    "integrate_derivatives": lambda r, good, c, u: r.integrate_derivatives(c, u, 0.1),
    "difference_derivatives": lambda r, good, c, u: r.difference_derivatives(good, c),
}


def spoiled(robot, method, defect):
    """A valid configuration, one with a velocity with one defect, and the message it must raise."""
    C, N = robot.configuration_size, robot.generalized_count
    good = configuration(robot, "random", np.random.default_rng(5))
    c, u, name = good.copy(), np.ones(N), "configuration" if method.startswith("integrate") else "configuration1"
    if defect == "nan in configuration":
        c[-1] = np.nan
        return good, c, u, f"{name} contains a non-finite value"
    if defect == "inf in velocity":
        u[0] = np.inf
        return good, c, u, "velocity contains a non-finite value"
    if defect == "short velocity":
        return good, c, u[:-1], f"expected {N} elements in velocity, found {N - 1}"
    c = c[:-1] if defect == "short configuration" else np.r_[c, 0.0]
    return good, c, u, f"expected {C} elements in {name}, found {c.size}"


DEFECTS = ["nan in configuration", "inf in velocity", "short configuration", "long configuration", "short velocity"]


@pytest.mark.parametrize("label", ["Solo12", "Panda"])
@pytest.mark.parametrize(("method", "defect"), [(m, d) for m in CALLS for d in DEFECTS
                                                if "velocity" not in d or m.startswith("integrate")])
def test_refuses_bad_values_and_lengths(label, method, defect):
    robot = robot_of(label)
    good, c, u, message = spoiled(robot, method, defect)
    with pytest.raises(ValueError, match=message):
        CALLS[method](robot, good, c, u)


@pytest.mark.parametrize("method", ["integrate", "difference", "interpolate"])
def test_refuses_a_zero_quaternion_and_bad_times(method):
    robot = robot_of("Solo12")
    c, u = configuration(robot, "random", np.random.default_rng(6)), np.ones(robot.generalized_count)
    zero = c.copy()
    zero[3:7] = 0.0
    with pytest.raises(ValueError, match="quaternion that cannot be normalised"):
        CALLS[method](robot, c, zero, u)
    if method == "integrate":
        with pytest.raises(ValueError, match="dt must be a finite number, got nan"):
            robot.integrate(c, u, np.nan)
    if method == "interpolate":
        with pytest.raises(ValueError, match="t must be a finite number, got inf"):
            robot.interpolate(c, c, np.inf)
