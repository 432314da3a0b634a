"""Robot and FloatingRobot handles: loading, counts, link ids, lifecycle, forks, base frame,
signatures and argument-list errors, and `target` resolution."""

import pathlib
import re

import numpy as np
import pytest

from velkor import BaseState, FloatingRobot, ModelError, Pose, Robot, VelkorError

ARM_LINKS = ["base", "shoulder", "upper_arm", "elbow", "forearm", "wrist_1", "wrist_2", "flange", "tool"]
BOTH = pytest.mark.parametrize("cls", [Robot, FloatingRobot])
Q = np.linspace(-0.6, 0.6, 7)


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


def fk_all(robot, q=Q):
    if isinstance(robot, FloatingRobot):
        return robot.forward_kinematics_all(BaseState(), q)
    return robot.forward_kinematics_all(q)


@BOTH
@pytest.mark.parametrize("wrap", [str, pathlib.Path, FsPath])
def test_constructor_and_from_urdf_agree(arm_path, cls, wrap):
    a, b = cls(wrap(arm_path)), cls.from_urdf(path=wrap(arm_path))
    assert type(a) is cls and type(b) is cls
    for robot in (a, b):
        assert (robot.name, robot.joint_count, robot.link_count) == ("velkor_arm", 7, 9)
        assert robot.generalized_count == 7 + (6 if cls is FloatingRobot else 0)
    assert np.array_equal(fk_all(a), fk_all(b))


@BOTH
@pytest.mark.parametrize("path", [b"robot.urdf", FsPath(b"robot.urdf"), FsPath(3), 3, None])
def test_path_must_give_a_str(cls, path):
    for load in (cls, cls.from_urdf):
        with pytest.raises(TypeError, match="'path'"):
            load(path)


@BOTH
@pytest.mark.parametrize("source, message", [
    ("missing.urdf", "failed to parse URDF: .+"), (".", "failed to parse URDF: .+"),
    ('<robot name="r"><link name="a">', "failed to parse URDF: .+"),
    ((["a", "b"], []), "invalid robot model: expected one root link, found 2"),
    ((["a", "b"], [("j", "revolute", "a", "x")]), "invalid robot model: joint j references a missing child link"),
    ((["a", "b"], [("j", "planar", "a", "b")]), "joint j uses unsupported type planar"),
])
def test_unusable_files_are_model_errors(tmp_path, write_urdf, make_urdf, cls, source, message):
    if isinstance(source, tuple):
        path = make_urdf(*source)
    else:
        path = write_urdf(source) if source.startswith("<") else str(tmp_path / source)
    with pytest.raises(ModelError) as info:
        cls(path)
    assert isinstance(info.value, VelkorError) and info.value.args == (str(info.value),)
    assert re.fullmatch(message, str(info.value))


@pytest.mark.parametrize("kinds, dofs", [([], 0), (["fixed"], 0), (["fixed", "revolute", "fixed"], 1),
                                         (["continuous", "prismatic", "fixed", "revolute"], 3)])
def test_counts(chain, kinds, dofs):
    robot, floating = Robot(chain(kinds)), FloatingRobot(chain(kinds))
    for handle in (robot, floating):
        assert (handle.joint_count, handle.link_count) == (dofs, len(kinds) + 1)
    assert robot.generalized_count == dofs and floating.generalized_count == dofs + 6


@pytest.mark.parametrize("mass", [None, 0, -0.0])
def test_floating_base_needs_a_root_with_mass(make_urdf, mass):
    path = make_urdf([("torso", mass), "leg"], [("hip", "revolute", "torso", "leg")])
    for load in (FloatingRobot, FloatingRobot.from_urdf):
        with pytest.raises(ModelError) as info:
            load(path)
        assert str(info.value) == "invalid robot model: floating-base root link torso must have positive mass"
    assert Robot(path).generalized_count == 1


@BOTH
def test_link_ids(arm_path, cls):
    robot = cls(arm_path)
    assert [robot.link_id(name) for name in ARM_LINKS] == list(range(9))
    assert robot.fork().link_id(name="tool") == 8
    for name in (b"base", 0, None):
        with pytest.raises(TypeError, match="'name'"):
            robot.link_id(name)


@BOTH
@pytest.mark.parametrize("name", ["nope", "Base", "base ", "", "base\0", "base\0tool"], ids=repr)
def test_unknown_link_names(arm_path, cls, name):
    with pytest.raises(ValueError) as info:
        cls(arm_path).link_id(name)
    close = {"Base": ['base'], "base ": ['base'], "base\0": ['base'], "base\0tool": ['tool', 'base']}
    close = f"; close matches: {close[name]}" if name in close else ""
    assert str(info.value) == f"link {name} does not exist in the model{close}"


def every_call(robot):
    """Every method and property except close and __exit__."""
    calls = [lambda: robot.name, lambda: robot.joint_count, lambda: robot.generalized_count,
             lambda: robot.link_count, robot.fork, robot.__enter__, lambda: robot.link_id("base")]
    if isinstance(robot, FloatingRobot):
        return calls + [lambda: robot.forward_kinematics(BaseState(), Q, 1),
                        lambda: robot.forward_kinematics_all(BaseState(), Q)]
    return calls + [lambda: robot.set_base_frame(Pose()), lambda: robot.forward_kinematics(Q, 1),
                    lambda: robot.forward_kinematics_all(Q)]


@BOTH
def test_closed_handle(arm_path, cls):
    robot = cls(arm_path)
    assert robot.close() is None and robot.close() is None
    assert robot.__exit__(None, None, None) is None
    for call in every_call(robot):
        with pytest.raises(RuntimeError) as info:
            call()
        assert type(info.value) is RuntimeError and info.value.args == ("robot is closed",)


@BOTH
def test_context_manager(arm_path, cls):
    with cls(arm_path) as robot:
        assert type(robot) is cls and robot.link_count == 9
    with pytest.raises(RuntimeError, match="^robot is closed$"):
        robot.name
    with pytest.raises(KeyError, match="body"):
        with cls(arm_path) as robot:
            raise KeyError("body")
    with pytest.raises(RuntimeError, match="^robot is closed$"):
        robot.fork()
    handle = cls(arm_path)
    with pytest.raises(TypeError):
        handle.__exit__(None, None)
    assert handle.__enter__() is handle  # a refused __exit__ does not close
    assert handle.__exit__(_exc_type=None, _traceback=None, _exc_value=None) is None
    assert handle.__exit__(None, None, None) is None


@BOTH
def test_fork_is_independent(arm_path, cls):
    origin = cls(arm_path)
    fork = origin.fork()
    assert type(fork) is cls and fork is not origin
    assert (fork.name, fork.link_count, fork.generalized_count) == (origin.name, 9, origin.generalized_count)
    assert np.array_equal(fk_all(fork), fk_all(origin))
    expected = fk_all(origin)
    origin.close()
    assert np.array_equal(fk_all(fork), expected)
    fork.fork().close()
    assert fork.link_count == 9


def test_base_frames_of_forks_are_separate(arm_path):
    origin = Robot(arm_path)
    early = origin.fork()
    frame = Pose([1, 2, 3], [0, 0, 1, 1])
    origin.set_base_frame(frame)
    late = origin.fork()  # copies the current frame
    early.set_base_frame(Pose([-5, 0, 0]))
    assert origin.forward_kinematics(Q, 0) == late.forward_kinematics(Q, 0)
    assert origin.forward_kinematics(Q, 0).translation == (1, 2, 3)
    assert early.forward_kinematics(Q, 0).translation == (-5, 0, 0)
    late.set_base_frame(Pose())
    assert origin.forward_kinematics(Q, 0).translation == (1, 2, 3)


@pytest.mark.parametrize("frame", [
    Pose(rotation_xyzw=[0, 0, 0, 0]), Pose(rotation_xyzw=[0, 0, 0, 1e-13]), Pose(rotation_xyzw=[0, 0, 0, 1e200]),
    Pose([0, float("inf"), 0]), Pose(rotation_xyzw=[float("nan"), 0, 0, 1]),
    (0, 0, 0, 0, 0, 0, 1), None, BaseState(),
])
def test_rejected_base_frame_keeps_the_previous_one(arm_path, frame):
    robot = Robot(arm_path)
    robot.set_base_frame(Pose([1, 2, 3], [0, 0, 0, 2]))
    before = fk_all(robot)
    if isinstance(frame, Pose):
        with pytest.raises(ValueError, match="^pose contains non-finite values or a zero quaternion$"):
            robot.set_base_frame(frame=frame)
    else:
        with pytest.raises(TypeError, match="'frame'"):
            robot.set_base_frame(frame)
    assert np.array_equal(fk_all(robot), before)
    assert before[:7].tolist() == [1, 2, 3, 0, 0, 0, 1]  # (0, 0, 0, 2) is the identity rotation


COMMON = {"fork": "($self)", "close": "($self)", "__enter__": "($self)",
          "__exit__": "($self, _exc_type, _exc_value, _traceback)", "link_id": "($self, name)"}
OPTIONS = {Robot: "*, mimic='reject', inertia_tolerance=0.0",
           FloatingRobot: "*, mimic='reject', massless_root='reject', inertia_tolerance=0.0"}
METHODS = [(Robot, n, s) for n, s in {**COMMON, "set_base_frame": "($self, frame)",
                                      "forward_kinematics_all": "($self, q, out=None)",
                                      "forward_kinematics": "($self, q, target)"}.items()]
METHODS += [(FloatingRobot, n, s) for n, s in {**COMMON, "forward_kinematics_all": "($self, base, q, out=None)",
                                               "forward_kinematics": "($self, base, q, target)"}.items()]
METHODS += [(cls, "from_urdf", f"($cls, path, {OPTIONS[cls]})") for cls in OPTIONS]
METHODS += [(cls, "from_urdf_string", f"($cls, xml, {OPTIONS[cls]})") for cls in OPTIONS]


@pytest.mark.parametrize("cls, name, signature", METHODS)
def test_text_signatures(cls, name, signature):
    assert getattr(cls, name).__text_signature__ == signature
    assert cls.__text_signature__ == f"(path, {OPTIONS[cls]})" and not hasattr(FloatingRobot, "set_base_frame")
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'path'$"):
        cls()


def argument_errors():
    """One faulty argument list per kind of error, each with the message the interpreter gives a plain
    function of the same parameters (the bound self left out) and the same qualified name."""
    for cls, name, signature in METHODS:
        params = signature.strip("()").split(", ")[1:]
        if not params:
            continue
        required = [p for p in params if "=" not in p]
        namespace = {}
        exec(f"def {name}({', '.join(params)}): pass", namespace)
        twin = namespace[name]
        twin.__qualname__ = f"{cls.__name__}.{name}"
        cases = {"missing": ((), {}), "too_many": ((0,) * (len(params) + 1), {}),
                 "unexpected_keyword": ((0,) * len(required), {"x": 0}),
                 "given_twice": ((0,), {params[0].split("=")[0]: 0}),
                 **({"missing_last": ((0,) * (len(required) - 1), {})} if len(required) > 1 else {})}
        for kind, (args, kwargs) in cases.items():
            try:
                twin(*args, **kwargs)
            except TypeError as error:
                yield pytest.param(cls, name, args, kwargs, str(error), id=f"{cls.__name__}.{name}-{kind}")


@pytest.mark.parametrize("cls, name, args, kwargs, message", argument_errors())
def test_argument_list_errors_use_the_interpreters_wording(arm_path, cls, name, args, kwargs, message):
    robot = cls(arm_path)
    with pytest.raises(TypeError) as info:
        getattr(robot, name)(*args, **kwargs)
    assert str(info.value) == message
    assert robot.link_count == 9  # nothing happened to the handle


@BOTH
def test_handles_compare_by_identity_and_have_no_attributes(arm_path, cls):
    a = cls(arm_path)
    b = a.fork()
    assert a == a and a != b and a != cls(arm_path)
    assert hash(a) == object.__hash__(a) and len({a, b, a}) == 2
    for attribute in ("extra", "name", "link_count"):
        with pytest.raises(AttributeError):
            setattr(a, attribute, 1)
    assert not hasattr(a, "__dict__")


@BOTH
@pytest.mark.parametrize("target, outcome", [
    (True, TypeError), (False, TypeError), (np.int64(8), 8), (np.uint8(3), 3),
    (-1, "invalid link id -1"), (2**64, f"invalid link id {2**64}"), (9, "invalid link id 9"), (2**63, f"invalid link id {2**63}"),
    (1.0, TypeError), (np.float64(1), TypeError), ("1", TypeError), (None, TypeError),
])
def test_target_resolution(arm_path, cls, target, outcome):
    robot = cls(arm_path)
    if cls is FloatingRobot:
        def call(t): return robot.forward_kinematics(BaseState(), Q, t)
    else:
        def call(t): return robot.forward_kinematics(Q, t)
    if isinstance(outcome, int):
        assert call(target) == call(outcome)
    elif isinstance(outcome, str):
        with pytest.raises(ValueError) as info:
            call(target)
        assert str(info.value) == outcome
    else:
        with pytest.raises(outcome, match="'target'" if outcome is TypeError else None):
            call(target)
