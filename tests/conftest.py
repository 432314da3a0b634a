"""Shared fixtures: URDF writers and the sample arm."""

import pytest

from velkor.samples import sample_path

INERTIA = '<inertia ixx="0.1" ixy="0" ixz="0" iyy="0.1" iyz="0" izz="0.1"/>'


def link_xml(name, mass=1.0):
    if mass is None:
        return f'<link name="{name}"/>'
    return f'<link name="{name}"><inertial><mass value="{mass}"/>{INERTIA}</inertial></link>'


def joint_xml(name, kind, parent, child, xyz=(0, 0, 0), rpy=(0, 0, 0), axis=(1, 0, 0)):
    def fmt(v):
        return " ".join(repr(float(x)) for x in v)

    return (f'<joint name="{name}" type="{kind}"><parent link="{parent}"/><child link="{child}"/>'
            f'<origin xyz="{fmt(xyz)}" rpy="{fmt(rpy)}"/><axis xyz="{fmt(axis)}"/>'
            f'<limit lower="-3" upper="3" velocity="1"/></joint>')


def urdf_text(links, joints, name="test_robot"):
    """links: names or (name, mass) pairs; joints: tuples accepted by joint_xml, in file order."""
    parts = [link_xml(*((item,) if isinstance(item, str) else item)) for item in links]
    parts += [joint_xml(*j) for j in joints]
    return f'<?xml version="1.0"?>\n<robot name="{name}">{"".join(parts)}</robot>\n'


def chain_urdf(kinds, name="chain"):
    """A serial chain l0 - l1 - ... joined by joints of the given kinds about z, 0.1 m apart."""
    links = [f"l{i}" for i in range(len(kinds) + 1)]
    joints = [(f"j{i}", k, links[i], links[i + 1], (0, 0, 0.1), (0, 0, 0), (0, 0, 1))
              for i, k in enumerate(kinds)]
    return urdf_text(links, joints, name)


@pytest.fixture
def write_urdf(tmp_path):
    count = iter(range(1_000_000))

    def write(text):
        path = tmp_path / f"robot{next(count)}.urdf"
        path.write_text(text, encoding="utf-8")
        return str(path)

    return write


@pytest.fixture
def make_urdf(write_urdf):
    """make_urdf(links, joints, name=...) -> path of a new URDF file."""
    return lambda links, joints, name="test_robot": write_urdf(urdf_text(links, joints, name))


@pytest.fixture
def chain(write_urdf):
    """chain(kinds, name=...) -> path of a serial chain with joints of the given kinds."""
    return lambda kinds, name="chain": write_urdf(chain_urdf(kinds, name))


@pytest.fixture(scope="session")
def arm_path():
    return sample_path("arm")
