"""Links joined by fixed joints are merged into their moving ancestor for the dynamics. The same
file with every fixed joint turned into a hinge held at zero has no fixed joints, so nothing is
merged there: its results on the original DOFs are an independent route to ours."""

import sysconfig
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pytest

from velkor import BaseState, FloatingRobot, Load, Pose, Robot, Twist
from velkor.samples import sample_path

ROBOTS = Path(sysconfig.get_paths()["purelib"]) / "cmeel.prefix/share/example-robot-data/robots"
CASES = {
    "arm": (sample_path("arm"), Robot),
    "quadruped": (sample_path("quadruped"), FloatingRobot),
    "baxter": (ROBOTS / "baxter_description/urdf/baxter.urdf", Robot),
    "talos": (ROBOTS / "talos_data/robots/talos_full_v2.urdf", FloatingRobot),
}


def hinged(path, tmp_path):
    """The file with each fixed joint made a revolute joint about x (limits around zero)."""
    tree = ET.parse(path)
    for joint in tree.getroot().iter("joint"):
        if joint.get("type") == "fixed":
            joint.set("type", "revolute")
            for old in joint.findall("axis") + joint.findall("limit"):
                joint.remove(old)
            ET.SubElement(joint, "axis", xyz="1 0 0")
            ET.SubElement(joint, "limit", lower="-1", upper="1", effort="1", velocity="1")
    out = tmp_path / "hinged.urdf"
    tree.write(out)
    return str(out)


@pytest.fixture(params=CASES, scope="module")
def pair(request, tmp_path_factory):
    path, cls = CASES[request.param]
    if not Path(path).exists():
        pytest.skip("robot model not installed")
    ours = cls(str(path), mimic="independent")
    other = cls(hinged(path, tmp_path_factory.mktemp(request.param)), mimic="independent")
    assert other.joint_count == len(ours.joints)  # every joint moves: nothing merged there
    return ours, other


def test_merged_bodies_match_hinges_held_still(pair):
    ours, other = pair
    b = ours.generalized_count - ours.joint_count
    keep = [other.dof_index(name) for name in ours.dof_names]
    rows = list(range(b)) + [b + i for i in keep]
    rng = np.random.default_rng(3)
    base = ()
    if isinstance(ours, FloatingRobot):
        base = (BaseState(Pose(rng.normal(size=3), rng.normal(size=4)),
                          Twist(rng.normal(size=3), rng.normal(size=3)),
                          Twist(rng.normal(size=3), rng.normal(size=3))),)
    for _ in range(3):
        q, qd, qdd = (rng.uniform(-1, 1, ours.joint_count) for _ in range(3))

        def spread(v):
            full = np.zeros(other.joint_count)
            full[keep] = v
            return full

        Q, QD, QDD = spread(q), spread(qd), spread(qdd)
        # loads on links that are merged, massless or bodies of their own
        loads = [Load(int(link), torque=rng.normal(size=3), force=rng.normal(size=3))
                 for link in rng.integers(ours.link_count, size=6)]
        other_loads = [Load(other.link_id(ours.link_names[w.link_id]), torque=w.torque, force=w.force)
                       for w in loads]
        M = ours.mass_matrix(*base, q).reshape(-1, ours.generalized_count)
        M_other = other.mass_matrix(*base, Q).reshape(-1, other.generalized_count)
        pairs = [
            (M, M_other[np.ix_(rows, rows)]),
            (ours.inverse_dynamics(*base, q, qd, qdd, loads), other.inverse_dynamics(*base, Q, QD, QDD, other_loads)[rows]),
            (ours.gravity(*base, q, loads), other.gravity(*base, Q, other_loads)[rows]),
            (ours.velocity_product_forces(*base, q, qd), other.velocity_product_forces(*base, Q, QD)[rows]),
        ]
        for a, expected in pairs:
            assert np.allclose(a, expected, rtol=1e-10, atol=1e-10 * max(1.0, np.abs(expected).max()))
        # forward dynamics inverts inverse dynamics with the loads on any link
        tau = ours.inverse_dynamics(*base, q, qd, qdd, loads)
        accel = ours.forward_dynamics(*base, q, qd, tau, loads)
        assert np.allclose(accel[b:], qdd, rtol=0, atol=1e-8)
