"""Loading from a string, the opt-in import choices (mimic joints made independent, massless
floating roots, inertias indefinite by a rounding), and the message for xacro input."""

import inspect
import math

import numpy as np
import pytest
from peers import NEEDS_PINOCCHIO

from velkor import BaseState, FloatingRobot, ModelError, Robot
from velkor.samples import sample_path


def link(name, mass=None):
    if mass is None:
        return f'<link name="{name}"/>'
    return (f'<link name="{name}"><inertial><mass value="{mass}"/>'
            f'<inertia ixx="0.1" ixy="0" ixz="0" iyy="0.1" iyz="0" izz="0.1"/></inertial></link>')


def joint(name, parent, child, kind="revolute", extra=""):
    limit = '<limit lower="-1" upper="1" velocity="1"/>' if kind == "revolute" else ""
    return (f'<joint name="{name}" type="{kind}"><parent link="{parent}"/><child link="{child}"/>'
            f'<axis xyz="0 0 1"/>{limit}{extra}</joint>')


def robot(*parts, name="r"):
    return f'<robot name="{name}">' + "".join(parts) + "</robot>"


GRIPPER = robot(link("base", 1), link("left", 0.1), link("right", 0.1), link("tip", 0.1),
                joint("left_joint", "base", "left"),
                joint("right_joint", "base", "right", extra='<mimic joint="left_joint" multiplier="-1" offset="0.5"/>'),
                joint("tip_joint", "right", "tip", kind="fixed", extra='<mimic joint="left_joint"/>'))


def loaders(tmp_path, text):
    path = tmp_path / "robot.urdf"
    path.write_text(text, encoding="utf-8")
    return {"file": lambda cls, **options: cls(str(path), **options),
            "from_urdf": lambda cls, **options: cls.from_urdf(path, **options),
            "string": lambda cls, **options: cls.from_urdf_string(text, **options)}


# ---- loading from a string ----

def test_a_string_loads_like_its_file():
    text = open(sample_path("arm"), encoding="utf-8").read()
    from_file, from_text = Robot(sample_path("arm")), Robot.from_urdf_string(text)
    q = np.linspace(-0.5, 0.5, from_file.joint_count)
    assert (from_text.name, from_text.link_count) == (from_file.name, from_file.link_count)
    np.testing.assert_array_equal(from_text.forward_kinematics_all(q), from_file.forward_kinematics_all(q))
    np.testing.assert_array_equal(from_text.mass_matrix(q), from_file.mass_matrix(q))


@pytest.mark.parametrize("text", [
    "<robot",                                        # not XML
    '<robot><link name="a"/></robot>',               # no robot name
    robot(link("a"), link("b")),                     # two roots
    robot(link("a", "-1")),                          # negative mass
    robot(link("a"), link("b"), joint("j", "a", "b", extra='<mimic joint="x"/>')),
    robot(link("a")) + "\0",                         # NUL character
    "\udc80",                                         # not UTF-8 once encoded
])
def test_a_string_gets_the_errors_of_its_file(tmp_path, text):
    path = tmp_path / "robot.urdf"
    path.write_bytes(text.encode("utf-8", "surrogatepass"))
    with pytest.raises(ModelError) as from_file:
        Robot(str(path))
    with pytest.raises(ModelError) as from_text:
        Robot.from_urdf_string(text)
    assert str(from_text.value) == str(from_file.value)


@pytest.mark.parametrize("value", [b"<robot/>", None, 3])
def test_from_urdf_string_takes_a_str(value):
    with pytest.raises(TypeError, match="argument 'xml': expected str"):
        Robot.from_urdf_string(value)


# ---- the options: keyword-only, checked values ----

@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
@pytest.mark.parametrize("loader", ["__call__", "from_urdf", "from_urdf_string"])
def test_options_are_keyword_only_with_the_old_behaviour_as_default(cls, loader):
    function = cls if loader == "__call__" else getattr(cls, loader)
    parameters = inspect.signature(function).parameters
    defaults = {"mimic": "reject", **({"massless_root": "reject"} if cls is FloatingRobot else {}),
                "inertia_tolerance": 0.0}
    assert [p for p in parameters if parameters[p].kind is inspect.Parameter.KEYWORD_ONLY] == list(defaults)
    assert {p: parameters[p].default for p in defaults} == defaults
    source = open(sample_path("arm")).read() if loader == "from_urdf_string" else sample_path("arm")
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        function(source, "independent")


@pytest.mark.parametrize("options, error, message", [
    ({"mimic": "Independent"}, ValueError, "mimic must be 'reject', 'independent' or 'couple', got 'Independent'"),
    ({"mimic": None}, TypeError, "argument 'mimic': expected str, got NoneType"),
    ({"massless_root": "yes"}, ValueError, "massless_root must be 'reject' or 'allow', got 'yes'"),
    ({"massless_root": True}, TypeError, "argument 'massless_root': expected str, got bool"),
])
def test_option_values_are_checked(options, error, message):
    with pytest.raises(error) as info:
        FloatingRobot(sample_path("quadruped"), **options)
    assert str(info.value) == message


def test_robot_has_no_massless_root_option():
    with pytest.raises(TypeError, match="unexpected keyword argument 'massless_root'"):
        Robot(sample_path("arm"), massless_root="allow")


# ---- mimic joints ----

@pytest.mark.parametrize("loader", ["file", "from_urdf", "string"])
@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_mimic_joints_are_refused_by_default_and_independent_on_request(tmp_path, loader, cls):
    load = loaders(tmp_path, GRIPPER)[loader]
    with pytest.raises(ModelError) as info:
        load(cls)
    assert str(info.value) == ("invalid robot model: joint right_joint uses an unsupported mimic constraint (load with "
                               'mimic="couple" to make it follow its leader, or mimic="independent" to treat it as a '
                               "free joint)")
    handle = load(cls, mimic="independent")
    assert handle.joint_count == 2
    # only joints that became DOFs are listed; the fixed one has nothing to loosen
    assert handle.mimic_joints == {"right_joint": ("left_joint", -1.0, 0.5)}
    assert handle.fork().mimic_joints == handle.mimic_joints


def test_files_without_mimic_list_no_couplings():
    arm = Robot(sample_path("arm"), mimic="independent")
    assert arm.mimic_joints == {} and Robot(sample_path("arm")).mimic_joints == {}
    arm.close()
    with pytest.raises(RuntimeError, match="robot is closed"):
        arm.mimic_joints


def follows(name, parent, child, leader=None, kind="revolute"):
    """A joint whose <mimic> names leader (none without a leader)."""
    return joint(name, parent, child, kind, extra=f'<mimic joint="{leader}" multiplier="2"/>' if leader else "")


def chain_of(*joints):
    """A robot whose joints, as (name, leader, kind), hang one below the other from link l0."""
    links = [link(f"l{i}", 1) for i in range(len(joints) + 1)]
    return robot(*links, *(follows(name, f"l{i}", f"l{i + 1}", leader, kind)
                           for i, (name, leader, kind) in enumerate(joints)))


R = "revolute"


@pytest.mark.parametrize("joints, message", [
    # the leader is not a joint of the file (published files do this)
    ([("j", "elsewhere", R)], "joint j mimics joint elsewhere, which does not exist"),
    ([("a", None, R), ("j", "A", R)], "joint j mimics joint A, which does not exist"),
    ([("j", "j", R)], "joint j mimics itself"),
    # cycles, named at the first of their joints import reaches; a joint leading into one is not on it
    ([("a", "b", R), ("b", "a", R)], "joint a mimics joint b, whose mimic chain leads back to a"),
    ([("t", "a", R), ("a", "b", R), ("b", "c", "prismatic"), ("c", "a", "continuous")],
     "joint a mimics joint b, whose mimic chain leads back to a"),
    # a leader without a single degree of freedom, before or after its mimic joint
    ([("f", None, "fixed"), ("j", "f", R)],
     "joint j mimics joint f, a fixed joint; a leader must be revolute, continuous or prismatic"),
    ([("j", "f", R), ("f", None, "fixed")],
     "joint j mimics joint f, a fixed joint; a leader must be revolute, continuous or prismatic"),
    ([("j", "f", R), ("f", None, "floating")],
     "joint j mimics joint f, a floating joint; a leader must be revolute, continuous or prismatic"),
    ([("j", "f", "prismatic"), ("f", None, "planar")],
     "joint j mimics joint f, a planar joint; a leader must be revolute, continuous or prismatic"),
    # a fixed joint's own mimic element is no leader: the fixed joint does not become a DOF
    ([("f", "k", "fixed"), ("j", "f", R), ("k", None, R)],
     "joint j mimics joint f, a fixed joint; a leader must be revolute, continuous or prismatic"),
])
@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_couplings_without_a_moving_leader_are_refused(joints, message, cls):
    text = chain_of(*joints)
    for policy in ("independent", "couple"):
        with pytest.raises(ModelError) as info:
            cls.from_urdf_string(text, mimic=policy)
        assert str(info.value) == "invalid robot model: " + message
    first = next(name for name, leader, _ in joints if leader)
    with pytest.raises(ModelError) as info:
        cls.from_urdf_string(text)  # the default refuses any mimic element, as before
    assert str(info.value).startswith(f"invalid robot model: joint {first} uses an unsupported mimic constraint (")


@pytest.mark.parametrize("joints, dof_names, couplings", [
    # a fixed joint couples nothing, whatever its mimic element names
    ([("f", "nowhere", "fixed")], [], {}),
    ([("f", "f", "fixed")], [], {}),
    ([("j", None, R), ("f", "j", "fixed"), ("g", "f", "fixed")], ["j"], {}),
    # chains load, each coupling as written, leaders before or after their mimic joints
    ([("x", "y", R), ("y", "z", R), ("z", None, R)], ["x", "y", "z"],
     {"x": ("y", 2.0, 0.0), "y": ("z", 2.0, 0.0)}),
    ([("z", None, "prismatic"), ("y", "z", "continuous"), ("x", "y", R)], ["z", "y", "x"],
     {"y": ("z", 2.0, 0.0), "x": ("y", 2.0, 0.0)}),
    # several joints follow one leader, one of them through a fixed joint's ignored coupling
    ([("a", None, R), ("b", "a", R), ("f", "b", "fixed"), ("c", "a", R)], ["a", "b", "c"],
     {"b": ("a", 2.0, 0.0), "c": ("a", 2.0, 0.0)}),
])
def test_fixed_mimic_joints_and_chains_load(joints, dof_names, couplings):
    text = chain_of(*joints)
    handle = Robot.from_urdf_string(text, mimic="independent")
    assert list(handle.dof_names) == dof_names
    assert handle.mimic_joints == couplings
    assert handle.link_count == len(joints) + 1
    coupled = Robot.from_urdf_string(text, mimic="couple")  # only the joints that follow nothing move freely
    assert list(coupled.dof_names) == [name for name in dof_names if name not in couplings]
    assert coupled.mimic_joints == couplings
    assert [j.dof is None for j in coupled.joints] == [j.name not in coupled.dof_names for j in coupled.joints]


DANGLING = "invalid robot model: joint j mimics joint elsewhere, which does not exist"


@pytest.mark.parametrize("text, message", [
    # errors of the file's structure come first
    (chain_of(("j", "elsewhere", R), ("j", None, R)), "invalid robot model: joint names must be unique"),
    # then joint by joint in link order, the coupling before the joint's own values
    (chain_of(("k", None, "spherical"), ("j", "elsewhere", R)), "joint k uses unsupported type spherical"),
    (chain_of(("j", "elsewhere", R), ("k", None, "spherical")), DANGLING),
    (chain_of(("j", "elsewhere", R)).replace('velocity="1"', 'velocity="-1"'), DANGLING),
], ids=["structure", "earlier-joint", "later-joint", "same-joint"])
@pytest.mark.parametrize("policy", ["independent", "couple"])
def test_coupling_errors_keep_the_order_of_the_checks(text, message, policy):
    with pytest.raises(ModelError) as info:
        Robot.from_urdf_string(text, mimic=policy)
    assert str(info.value) == message


@pytest.mark.parametrize("mimic, message", [
    ('<mimic multiplier="2"/>', "joint j has a mimic element without a joint attribute"),
    ('<mimic joint="k" multiplier="two"/>', "joint j: attribute 'multiplier' of <mimic> is not a number: 'two'"),
    ('<mimic joint="k" offset="${pi}"/>', "joint j: attribute 'offset' of <mimic> is an unexpanded xacro substitution"),
    ('<mimic joint="k" offset="inf"/>', "joint j mimic multiplier and offset must be finite"),
    ('<mimic joint="k" multiplier="nan"/>', "joint j mimic multiplier and offset must be finite"),
])
@pytest.mark.parametrize("policy", ["independent", "couple"])
def test_bad_mimic_attributes_are_errors_naming_the_joint(mimic, message, policy):
    text = robot(link("a", 1), link("b", 1), link("c", 1), joint("k", "a", "b"), joint("j", "b", "c", extra=mimic))
    with pytest.raises(ModelError) as info:
        Robot.from_urdf_string(text, mimic=policy)
    assert str(info.value).startswith("invalid robot model: " + message)
    with pytest.raises(ModelError, match="joint j uses an unsupported mimic constraint"):
        Robot.from_urdf_string(text)  # the default refuses any mimic element, as before


# ---- massless floating roots ----

ROOT_ERROR = "invalid robot model: floating-base root link base must have positive mass"


@pytest.mark.parametrize("parts, loads", [
    # base --fixed--> trunk (mass): the common pattern
    ((link("base"), link("trunk", 5), joint("mount", "base", "trunk", "fixed")), True),
    # mass two fixed joints away
    ((link("base"), link("plate"), link("trunk", 5), joint("a", "base", "plate", "fixed"),
      joint("b", "plate", "trunk", "fixed")), True),
    # mass only behind a moving joint: the base could not be accelerated
    ((link("base"), link("leg", 5), joint("hip", "base", "leg")), False),
    # no mass in the rigid group at all
    ((link("base"), link("plate"), joint("a", "base", "plate", "fixed")), False),
])
def test_a_massless_root_is_allowed_when_its_rigid_group_has_mass(parts, loads):
    text = robot(*parts)
    with pytest.raises(ModelError) as info:
        FloatingRobot.from_urdf_string(text)
    assert str(info.value) == ROOT_ERROR
    if loads:
        assert FloatingRobot.from_urdf_string(text, massless_root="allow").link_count == len(
            [p for p in parts if p.startswith("<link")])
    else:
        with pytest.raises(ModelError) as info:
            FloatingRobot.from_urdf_string(text, massless_root="allow")
        assert str(info.value) == ROOT_ERROR


def test_allowed_massless_root_moves_with_its_group():
    # the trunk's mass sits 1 m above the massless base: free fall without rotation
    from velkor import BaseState

    text = robot(link("base"), '<link name="trunk"><inertial><origin xyz="0 0 1"/><mass value="2"/>'
                 '<inertia ixx="0.1" ixy="0" ixz="0" iyy="0.1" iyz="0" izz="0.1"/></inertial></link>',
                 link("arm", 1), joint("mount", "base", "trunk", "fixed"), joint("j", "trunk", "arm"))
    body = FloatingRobot.from_urdf_string(text, massless_root="allow")
    acceleration = body.forward_dynamics(BaseState(), [0.0], [0.0], [0.0] * 7)
    np.testing.assert_allclose(acceleration, [0, 0, 0, 0, 0, -9.80665, 0], atol=1e-12)


# ---- xacro input ----

@pytest.mark.parametrize("text, detail", [
    (robot('<xacro:include filename="legs.xacro"/>', link("a")).replace('<robot ', '<robot xmlns:xacro="http://wiki.ros.org/xacro" '),
     "the document uses xacro (<xacro:include>)"),
    (robot(link("a"), link("b"), joint("j", "a", "b").replace('upper="1"', 'upper="${pi/2}"')),
     "joint j: attribute 'upper' of <limit> is an unexpanded xacro substitution: '${pi/2}'"),
    (robot(link("$(arg prefix)base")), "the link name '$(arg prefix)base' is an unexpanded xacro substitution"),
    (robot(link("a"), name="${name}"), "the robot name '${name}' is an unexpanded xacro substitution"),
])
def test_xacro_input_is_named_as_such(text, detail):
    with pytest.raises(ModelError) as info:
        Robot.from_urdf_string(text)
    message = str(info.value)
    assert message.startswith("failed to parse URDF: " + detail)
    assert message.endswith("this is xacro input, expand it with xacro first (xacro robot.urdf.xacro > robot.urdf)")


def test_expanded_xacro_output_keeps_its_namespace_and_loads():
    text = robot(link("a", 1)).replace("<robot ", '<robot xmlns:xacro="http://wiki.ros.org/xacro" ')
    assert Robot.from_urdf_string(text).link_count == 1


# ---- inertias wrong by a rounding: inertia_tolerance ----

INERTIA_NAMES = ("ixx", "ixy", "ixz", "iyy", "iyz", "izz")


def inertia_link(name, values, mass=1.0):
    entries = " ".join(f'{n}="{float(v)!r}"' for n, v in zip(INERTIA_NAMES, values))
    return f'<link name="{name}"><inertial><mass value="{mass}"/><inertia {entries}/></inertial></link>'


def matrix(values):
    xx, xy, xz, yy, yz, zz = values
    return np.array([[xx, xy, xz], [xy, yy, yz], [xz, yz, zz]])


def entries(m):
    return tuple(float(m[i, j]) for i, j in ((0, 0), (0, 1), (0, 2), (1, 1), (1, 2), (2, 2)))


DEFECT = 2.0**-30  # exactly representable, and so is every eigenvalue below
SLIGHTLY_NEGATIVE = (1.0, 0.0, 0.0, 0.5, 0.0, -DEFECT)
INDEFINITE = "invalid robot model: link {} inertia must be positive semi-definite"


@pytest.mark.parametrize("cls", [Robot, FloatingRobot])
def test_a_slightly_negative_eigenvalue_loads_within_the_tolerance_and_is_set_to_zero(cls):
    text = robot(inertia_link("base", SLIGHTLY_NEGATIVE))
    for options in ({}, {"inertia_tolerance": 0.0}, {"inertia_tolerance": math.nextafter(DEFECT, 0)}):
        with pytest.raises(ModelError) as info:
            cls.from_urdf_string(text, **options)
        assert str(info.value).startswith(INDEFINITE.format("base"))
    assert str(info.value).endswith("its smallest eigenvalue is -9.31e-10 kg·m², beyond the tolerated -9.31e-10 "
                                    "kg·m² (inertia_tolerance times 1 kg·m², the largest principal moment of the "
                                    "robot's links)")
    (repair,) = cls.from_urdf_string(text, inertia_tolerance=DEFECT).repaired_inertias
    assert repair == ("base", DEFECT, DEFECT, SLIGHTLY_NEGATIVE, (1.0, 0.0, 0.0, 0.5, 0.0, 0.0))
    assert (repair.link, repair.relative_defect, repair.held[5]) == ("base", DEFECT, 0.0)


def rotated(values, seed):
    """R diag(values) Rᵀ for a random rotation R."""
    q, _ = np.linalg.qr(np.random.default_rng(seed).normal(size=(3, 3)))
    return entries(q @ np.diag(values) @ q.T)


@pytest.mark.parametrize("seed", range(4))
def test_the_model_holds_the_nearest_semidefinite_inertia_and_only_that_change(seed):
    # a small link, indefinite by 1e-8 of its own largest moment but 1e-10 of the robot's
    small = rotated((1e-2, 5e-3, -1e-10), seed)
    text = robot(inertia_link("body", (1.0, 0, 0, 1.0, 0, 1.0), 5), inertia_link("tip", small),
                 joint("j", "body", "tip"))
    with pytest.raises(ModelError, match="^" + INDEFINITE.format("tip")):
        Robot.from_urdf_string(text)
    tolerant = Robot.from_urdf_string(text, inertia_tolerance=1e-9)
    (repair,) = tolerant.repaired_inertias
    assert repair.link == "tip" and repair.written == small
    assert repair.defect == pytest.approx(1e-10, rel=1e-6)
    assert repair.relative_defect == pytest.approx(1e-10, rel=1e-6)  # against the body's moment of 1
    # held keeps the positive eigenpairs and drops the negative one: the change is the defect itself
    change = matrix(repair.held) - matrix(repair.written)
    assert np.linalg.norm(change, 2) == pytest.approx(repair.defect, rel=1e-5)
    np.testing.assert_allclose(np.linalg.eigvalsh(matrix(repair.held)), [0, 5e-3, 1e-2], atol=1e-17)
    # held passes the exact rule, and the file written with it computes the same bits
    exact = Robot.from_urdf_string(text.replace(inertia_link("tip", small), inertia_link("tip", repair.held)))
    assert exact.repaired_inertias == []
    q, qd, tau = [0.3], [-0.7], [0.2]
    assert tolerant.mass_matrix(q).tobytes() == exact.mass_matrix(q).tobytes()
    assert tolerant.forward_dynamics(q, qd, tau).tobytes() == exact.forward_dynamics(q, qd, tau).tobytes()
    # measured against the small link alone, the defect is beyond the tolerance
    with pytest.raises(ModelError, match="^" + INDEFINITE.format("tip")):
        Robot.from_urdf_string(robot(inertia_link("tip", small)), inertia_tolerance=1e-9)


@pytest.mark.parametrize("make", [lambda: Robot(sample_path("arm"), inertia_tolerance=1e-3),
                                  lambda: FloatingRobot(sample_path("quadruped"), massless_root="allow",
                                                        inertia_tolerance=1e-3)], ids=["arm", "quadruped"])
def test_semidefinite_inertias_are_kept_bit_for_bit(make):
    tolerant = make()
    plain = Robot(sample_path("arm")) if isinstance(tolerant, Robot) else FloatingRobot(
        sample_path("quadruped"), massless_root="allow")
    assert tolerant.repaired_inertias == plain.repaired_inertias == []
    lead = () if isinstance(tolerant, Robot) else (BaseState(),)
    q = np.linspace(-1, 1, tolerant.joint_count)
    assert tolerant.mass_matrix(*lead, q).tobytes() == plain.mass_matrix(*lead, q).tobytes()
    tolerant.close()
    with pytest.raises(RuntimeError, match="robot is closed"):
        tolerant.repaired_inertias


@pytest.mark.parametrize("value, error, message", [
    *[(v, ValueError, f"inertia_tolerance must be a number from 0 to 0.001, got {v!r}")
      for v in (float("nan"), float("inf"), -float("inf"), -1e-12, 1.5e-3, 1, True)],
    (10**400, ValueError, "inertia_tolerance must be a number from 0 to 0.001, got an int too large for a float"),
    ("1e-6", TypeError, "argument 'inertia_tolerance': must be real number, not str"),
    (None, TypeError, "argument 'inertia_tolerance': must be real number, not NoneType"),
    (1e-6j, TypeError, "argument 'inertia_tolerance': must be real number, not complex"),
])
@pytest.mark.parametrize("cls, loader", [(Robot, "__call__"), (Robot, "from_urdf_string"),
                                         (FloatingRobot, "from_urdf")])
def test_bad_tolerances_are_refused(value, error, message, cls, loader):
    function = cls if loader == "__call__" else getattr(cls, loader)
    source = open(sample_path("arm")).read() if loader == "from_urdf_string" else sample_path("arm")
    with pytest.raises(error) as info:
        function(source, inertia_tolerance=value)
    assert str(info.value) == message


# iCub and TIAGo as published: inertias a CAD export rounded below zero
ROUNDED = {
    "icub_description/robots/icub.urdf": ["r_hip_2", "r_upper_leg", "r_lower_leg", "head", "l_ankle_2", "r_ankle_2"],
    "tiago_description/robots/tiago.urdf": ["base_antenna_left_link", "base_antenna_right_link"],
}


def load_published(file, floating, **options):
    from peers import robots_dir

    extra = {"massless_root": "allow"} if floating else {}
    return (FloatingRobot if floating else Robot)(str(robots_dir() / file), mimic="independent", **extra, **options)


@pytest.mark.parametrize("floating", [False, True], ids=["fixed", "floating"])
@pytest.mark.parametrize("file", ROUNDED)
def test_published_robots_load_with_a_tolerance(file, floating):
    with pytest.raises(ModelError) as info:
        load_published(file, floating)
    assert str(info.value) == INDEFINITE.format(ROUNDED[file][0])
    if file.startswith("tiago"):  # its defect is 6.4e-8 of the largest moment
        with pytest.raises(ModelError, match="beyond the tolerated"):
            load_published(file, floating, inertia_tolerance=1e-8)
    tolerant = load_published(file, floating, inertia_tolerance=1e-6)
    repairs = tolerant.repaired_inertias
    assert [r.link for r in repairs] == ROUNDED[file]
    assert [tolerant.link_id(r.link) for r in repairs] == sorted(tolerant.link_id(r.link) for r in repairs)
    for r in repairs:
        assert 0 < r.relative_defect <= 1e-6
        assert r.defect == pytest.approx(-np.linalg.eigvalsh(matrix(r.written))[0], rel=1e-9)
        assert np.linalg.norm(matrix(r.held) - matrix(r.written), 2) == pytest.approx(r.defect, rel=1e-6)
    assert tolerant.fork().repaired_inertias == repairs


@NEEDS_PINOCCHIO
@pytest.mark.parametrize("floating", [False, True], ids=["fixed", "floating"])
@pytest.mark.parametrize("file", ROUNDED)
def test_published_robots_agree_with_the_oracle_once_accepted(file, floating):
    """Pinocchio loads the file as written; the repair moves the mass matrix by at most the sum of
    the defects, and forward dynamics by what that and the conditioning of M allow."""
    from test_cross_validation import Case, State, pin, robots_dir

    options = {"mimic": "independent", "inertia_tolerance": 1e-6, **({"massless_root": "allow"} if floating else {})}
    case = Case(file, robots_dir() / file, options, floating, None)
    moved = sum(r.defect for r in case.robot.repaired_inertias)
    for seed in range(4):
        st = State(case, seed)
        st.activate()
        side = st.T.shape[1]
        ours = case.robot.mass_matrix(*st.args(st.q)).reshape(side, side)
        upper = np.triu(pin.crba(case.model, case.data, st.qp))
        oracle = st.T.T @ (upper + np.triu(upper, 1).T) @ st.T
        np.testing.assert_allclose(ours, oracle, rtol=0, atol=moved + 1e-12 * np.abs(oracle).max())
        qdd = case.robot.forward_dynamics(*st.args(st.q, st.qd, st.forces))
        expected = st.to_ours(pin.aba(case.model, case.data, st.qp, st.vp, st.T @ st.forces))
        # iCub's links are point masses: M is ill-conditioned (up to 3e7), and both answers are
        # as exact as that allows
        bound = np.linalg.cond(ours) * (1e-13 + moved / np.linalg.norm(ours, 2)) * np.abs(expected).max()
        np.testing.assert_allclose(qdd, expected, rtol=0, atol=bound)
        assert np.all(np.isfinite(qdd))
