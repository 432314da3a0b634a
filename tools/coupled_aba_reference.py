"""Reference for forward dynamics with coupled joints (mimic joints that follow a leader), in NumPy
on Pinocchio's model data: the articulated-body recursion in root coordinates with each group of
coupled joints eliminated as one DOF once the inward pass has seen all of its joints.

    python tools/coupled_aba_reference.py            # Panda, Baxter, Romeo, Talos, PR2, Tiago Pro

Every joint k of the uncoupled tree moves with q_k = g_k·q_γ(k) + b_k, γ(k) its group (its free
DOF; a free joint is a group of one with g = 1). In root coordinates (angular first, about the
root origin) a subtree's transmitted force, once everything below it that could be eliminated is,
reads f = I^A a + p^A + Σ_γ V_γ q̈_γ over the groups still open in it, with their equations
Σ_γ' D_γγ' q̈_γ' + V_γᵀ a = u_γ (the system is symmetric, so the force column of a group is also
its equation's row). Joint k (s = g_k S_k, x = γ(k)) substitutes a = a_p + c_k + s q̈_x:

    V_x += I^A s;  D_xx += sᵀ I^A s;  D_γx, D_xγ += V_γᵀ s for every open γ (x included, old V_x);
    u_γ −= V_γᵀ c_k for every open γ;  u_x += τ_x (once) − sᵀ (p^A + I^A c_k);  p^A += I^A c_k.

A group whose joints are all inside the subtree is eliminated at once (q̈_x = (u_x − Σ D_xγ q̈_γ
− V_xᵀ a_p) / D_xx):

    I^A −= V_x V_xᵀ / D_xx;  p^A += V_x u_x / D_xx;
    V_γ −= V_x D_xγ / D_xx;  D_γγ' −= D_γx D_xγ' / D_xx;  u_γ −= D_γx u_x / D_xx.

A free joint is eliminated at its own joint, which is the classical recursion. Subtrees merge at
their parent body by plain sums (I^A, p^A, and V, D, u of the same groups). The outward pass
solves the groups in the reverse order of their elimination. The script compares the result
with the reduced-coordinate solution (Gᵀ M G) q̈ = τ − Gᵀ b(G q + b, G q̇) from Pinocchio's crba
and nonLinearEffects on the uncoupled model.
"""

import sys
from pathlib import Path

import numpy as np
import pinocchio as pin

ROBOTS = Path(sys.prefix) / "lib/python3.11/site-packages/cmeel.prefix/share/example-robot-data/robots"
FILES = {
    "Panda": "panda_description/urdf/panda.urdf",
    "Baxter": "baxter_description/urdf/baxter.urdf",
    "Romeo": "romeo_description/urdf/romeo.urdf",
    "Talos": "talos_data/robots/talos_full_v2.urdf",
    "PR2": "pr2_description/urdf/pr2.urdf",
    "Tiago Pro": "tiago_pro_description/robots/tiago_pro.urdf",
}


def angular_first(m):
    """A 6-vector or 6x6 matrix from Pinocchio's (linear, angular) order to (angular, linear)."""
    order = [3, 4, 5, 0, 1, 2]
    return m[order] if m.ndim == 1 else m[np.ix_(order, order)]


def cross_motion(v, m):
    w, u = v[:3], v[3:]
    return np.r_[np.cross(w, m[:3]), np.cross(w, m[3:]) + np.cross(u, m[:3])]


def cross_force(v, f):
    w, u = v[:3], v[3:]
    return np.r_[np.cross(w, f[:3]) + np.cross(u, f[3:]), np.cross(w, f[3:])]


def couplings(path, model):
    """(group of each velocity index, multiplier, offset, number of groups) from the file's <mimic>
    elements, chains resolved to the free joint at their end; fixed joints' mimics ignored."""
    import xml.etree.ElementTree as ET

    mimic = {}
    for joint in ET.parse(path).getroot().iter("joint"):
        element = joint.find("mimic")
        if element is not None and joint.get("type") != "fixed":
            mimic[joint.get("name")] = (element.get("joint"), float(element.get("multiplier", 1.0)),
                                        float(element.get("offset", 0.0)))

    def resolve(name):
        multiplier, offset = 1.0, 0.0
        while name in mimic:
            leader, m, o = mimic[name]
            multiplier, offset = multiplier * m, m * offset + o
            name = leader
        return name, multiplier, offset

    nv = model.nv
    free = [name for name in model.names[1:] if name not in mimic]
    index = {name: i for i, name in enumerate(free)}
    group, g, b = np.zeros(nv, int), np.ones(nv), np.zeros(nv)
    for j in range(1, model.njoints):
        leader, multiplier, offset = resolve(model.names[j])
        v = model.joints[j].idx_v
        group[v], g[v], b[v] = index[leader], multiplier, offset
    return group, g, b, len(free)


def coupled_forward_dynamics(model, data, q_full, qd_full, tau, group, g, gravity):
    """q̈ of the groups by the coupled recursion (fixed root)."""
    pin.forwardKinematics(model, data, q_full, qd_full)
    pin.computeJointJacobians(model, data, q_full)
    J = model.njoints
    members = np.bincount(group, minlength=tau.size)
    S, I, v, c = {}, {}, {0: np.zeros(6)}, {}
    for k in range(1, J):
        i = model.joints[k].idx_v
        S[k] = angular_first(pin.getJointJacobian(model, data, k, pin.WORLD)[:, i].copy())
        I[k] = angular_first(data.oMi[k].act(model.inertias[k]).matrix())
        vJ = S[k] * qd_full[i]
        v[k] = v[model.parents[k]] + vJ
        c[k] = cross_motion(v[k], vJ)
    IA = {k: I[k].copy() for k in range(1, J)}
    pA = {k: cross_force(v[k], I[k] @ v[k]) for k in range(1, J)}
    open_ = {k: {} for k in range(J)}  # per body: group -> [V, u, seen]
    cross = {k: {} for k in range(J)}  # per body: (γ, γ') -> D
    IA[0], pA[0] = np.zeros((6, 6)), np.zeros(6)
    eliminated = []  # (body, group, V, D_row, u, D) in elimination order
    joint_terms = {}
    for k in range(J - 1, 0, -1):
        i, x, s = model.joints[k].idx_v, group[model.joints[k].idx_v], None
        s = g[i] * S[k]
        groups, D = open_[k], cross[k]
        # substitute a = a_p + c_k + s q̈_x
        for gamma, (V, u, seen) in groups.items():
            groups[gamma][1] = u - V @ c[k]
        for gamma, (V, _, _) in list(groups.items()):
            D[(gamma, x)] = D.get((gamma, x), 0.0) + V @ s
            D[(x, gamma)] = D.get((x, gamma), 0.0) + V @ s
        if x not in groups:
            groups[x] = [np.zeros(6), tau[x], 0]
        V, u, seen = groups[x]
        groups[x] = [V + IA[k] @ s, u - s @ (pA[k] + IA[k] @ c[k]), seen + 1]
        D[(x, x)] = D.get((x, x), 0.0) + s @ IA[k] @ s
        pA[k] = pA[k] + IA[k] @ c[k]
        joint_terms[k] = (x, s)
        # eliminate every group whose joints are all inside
        for gamma in [gamma for gamma, (_, _, seen) in groups.items() if seen == members[gamma]]:
            V, u, _ = groups.pop(gamma)
            Dxx = D[(gamma, gamma)]
            row = {other: D.get((gamma, other), 0.0) for other in groups}
            IA[k] = IA[k] - np.outer(V, V) / Dxx
            pA[k] = pA[k] + V * u / Dxx
            for other, entry in groups.items():
                entry[0] = entry[0] - V * row[other] / Dxx
                entry[1] = entry[1] - row[other] * u / Dxx
            for a in groups:
                for b_ in groups:
                    D[(a, b_)] = D.get((a, b_), 0.0) - row[a] * row[b_] / Dxx
            for key in [key for key in D if gamma in key]:
                del D[key]
            eliminated.append((k, gamma, V, row, u, Dxx))
        # merge into the parent body
        p = model.parents[k]
        IA[p] = IA[p] + IA[k]
        pA[p] = pA[p] + pA[k]
        for gamma, (V, u, seen) in groups.items():
            if gamma in open_[p]:
                Vp, up, seenp = open_[p][gamma]
                open_[p][gamma] = [Vp + V, up + u - tau[gamma], seenp + seen]  # τ once per group
            else:
                open_[p][gamma] = [V, u, seen]
        for key, value in D.items():
            cross[p][key] = cross[p].get(key, 0.0) + value
    assert not open_[0], "every group closes below the root"
    # outward pass: accelerations of the bodies, groups in reverse elimination order
    a = {0: np.r_[np.zeros(3), -gravity]}
    qdd = np.zeros(tau.size)
    done = {}
    by_body = {}
    for entry in eliminated:
        by_body.setdefault(entry[0], []).append(entry)
    for k in range(1, J):
        p = model.parents[k]
        # the groups eliminated at joint k, latest first, see a_p
        for _, gamma, V, row, u, Dxx in reversed(by_body.get(k, [])):
            done[gamma] = (u - sum(row[o] * done[o] for o in row) - V @ a[p]) / Dxx
        x, s = joint_terms[k]
        a[k] = a[p] + c[k] + s * done[x]
    for gamma, value in done.items():
        qdd[gamma] = value
    return qdd


def main():
    rng = np.random.default_rng(28)
    gravity = np.array([0.0, 0.0, -9.81])
    for label, file in FILES.items():
        path = str(ROBOTS / file)
        model = pin.buildModelFromUrdf(path)
        model.gravity.linear = gravity
        for k in range(1, model.njoints):  # some hand links are massless: keep M invertible
            model.inertias[k] = model.inertias[k] + pin.Inertia(1e-3, np.zeros(3), 1e-5 * np.eye(3))
        data = model.createData()
        group, g, b, n = couplings(path, model)
        G = np.zeros((model.nv, n))
        G[np.arange(model.nv), group] = g
        worst = 0.0
        for _ in range(5):
            q, qd, tau = rng.uniform(-1, 1, n), rng.uniform(-1, 1, n), rng.uniform(-1, 1, n)
            angles, qd_full = G @ q + b, G @ qd
            q_full = pin.integrate(model, pin.neutral(model), angles)
            M = G.T @ pin.crba(model, data, q_full) @ G
            M = np.triu(M) + np.triu(M, 1).T
            expected = np.linalg.solve(M, tau - G.T @ pin.nonLinearEffects(model, data, q_full, qd_full))
            got = coupled_forward_dynamics(model, data, q_full, qd_full, tau, group, g, gravity)
            worst = max(worst, np.abs(got - expected).max() / (1.0 + np.abs(expected).max()))
        print(f"{label:10s} {model.nv:3d} joints, {n:3d} free: coupled recursion vs reduced solve {worst:.1e}")


if __name__ == "__main__":
    main()
