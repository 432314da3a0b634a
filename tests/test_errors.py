"""The exception hierarchy, the translation of every core error, and the panic guard."""

import math
import sys

import pytest
from peers import TESTING

import _velkor

hooks = pytest.importorskip("_velkor_testing", reason=TESTING)


def test_exception_hierarchy():
    assert issubclass(_velkor.VelkorError, RuntimeError)
    for cls in (_velkor.ModelError, _velkor.SolverError, _velkor.PanicError):
        assert cls.__bases__ == (_velkor.VelkorError,)
    assert not issubclass(ValueError, _velkor.VelkorError)
    names = {cls.__name__: cls.__module__ for cls in
             (_velkor.VelkorError, _velkor.ModelError, _velkor.SolverError, _velkor.PanicError)}
    assert set(names.values()) == {"_velkor"}
    assert _velkor.VelkorError.__doc__ is None


def test_module_attributes_and_order():
    public = [name for name in vars(_velkor) if not name.startswith("__")]
    assert public == ["Pose", "Twist", "BaseState", "Load", "LoadBuffer", "Contact", "LoopClosure",
                      "ConstraintSet", "IkOptions", "PoseTask", "CenterOfMassTask", "ConstraintTask", "IkProblem",
                      "IkResult", "Robot", "FloatingRobot",
                      "VelkorError", "ModelError", "SolverError", "PanicError"]
    for name in ("Pose", "Twist", "BaseState", "Load", "LoadBuffer", "Contact", "LoopClosure", "ConstraintSet",
                 "IkOptions", "PoseTask", "CenterOfMassTask", "ConstraintTask", "IkProblem", "Robot", "FloatingRobot"):
        assert getattr(_velkor, name).__module__ == "velkor"


def test_reimport_keeps_the_same_objects():
    before = {name: getattr(_velkor, name) for name in ("Pose", "ModelError", "PanicError")}
    saved = sys.modules.pop("_velkor")
    try:
        import _velkor as again
        assert again is not saved
        for name, obj in before.items():
            assert getattr(again, name) is obj
    finally:
        sys.modules["_velkor"] = saved


def test_package_reexports_the_extension():
    import velkor

    assert velkor.Pose is _velkor.Pose
    assert velkor.ModelError is _velkor.ModelError


CASES = [
    (("Urdf", "unexpected end of file"), "ModelError",
     "failed to parse URDF: unexpected end of file"),
    (("InvalidModel", "link names must be unique"), "ModelError",
     "invalid robot model: link names must be unique"),
    (("UnsupportedJointType", "hip", "planar"), "ModelError", "joint hip uses unsupported type planar"),
    (("WrongSliceLength", "q", 6, 5), "ValueError", "expected 6 elements in q, found 5"),
    (("NonFiniteInput", "q"), "ValueError", "q contains a non-finite value"),
    (("NumericalFailure", "mass matrix"), "SolverError", "numerical failure in mass matrix"),
    (("InvalidJointAxis", "elbow"), "ModelError", "joint elbow has an invalid axis"),
    (("UnknownLink", "tool0"), "ValueError", "link tool0 does not exist in the model"),
    (("InvalidJointIndex", 9), "ValueError", "joint DOF index 9 does not exist in the model"),
    (("InvalidLinkId",), "ValueError", "link identifier does not belong to this robot model"),
    (("InvalidBaseState", "velocity", "must contain only finite values"), "ValueError",
     "invalid base velocity: must contain only finite values"),
    (("FloatingBaseIkUnsupported",), "ValueError",
     "inverse kinematics does not support a floating base"),
    (("InvalidIkOptions", "damping", "must be finite and positive"), "ValueError",
     "invalid inverse-kinematics option damping: must be finite and positive"),
    (("NonFiniteIkInput", "desired pose"), "ValueError",
     "inverse-kinematics desired pose contains a non-finite value"),
    (("IkNumericalFailure", 3), "SolverError", "inverse-kinematics linear solve failed at iteration 3"),
    (("IkJointLimitViolation", 2, "wrist", -0.00012345678, 0.0, math.inf), "SolverError",
     "inverse-kinematics solution -1.234568e-4 for joint 2 (wrist) is outside URDF limits "
     "[0.000000e0, inf]"),
    (("IkNotConverged", 100, 0.00012345678, 2.5), "SolverError",
     "inverse kinematics did not converge after 100 iterations "
     "(translation error 1.234568e-4, rotation error 2.500000e0)"),
    (("ForwardDynamicsSingularJointInertia", 4), "SolverError",
     "forward dynamics found singular articulated inertia at joint DOF 4"),
    (("ForwardDynamicsSingularBaseInertia",), "SolverError",
     "forward dynamics found singular floating-base articulated inertia"),
    (("ForwardDynamicsIllConditionedBaseInertia",), "SolverError",
     "forward dynamics found ill-conditioned scaled floating-base articulated inertia"),
    (("NonFiniteResult", "gravity"), "SolverError",
     "the result of gravity is not finite: the inputs or settings are too large to compute with"),
]


@pytest.mark.parametrize("fields, class_name, message", CASES, ids=[c[0][0] for c in CASES])
def test_every_core_error_has_its_message_and_class(fields, class_name, message):
    cls = ValueError if class_name == "ValueError" else getattr(_velkor, class_name)
    with pytest.raises(cls) as info:
        hooks.raise_error(*fields)
    assert type(info.value) is cls
    assert info.value.args == (message,)


@pytest.mark.parametrize("value, text", [
    (0.00012345678, "1.234568e-4"),
    (2.5, "2.500000e0"),
    (0.0, "0.000000e0"),
    (-3.0e10, "-3.000000e10"),
    (9.9999999e-5, "1.000000e-4"),
    (1.5e-300, "1.500000e-300"),
    (math.nan, "NaN"),
    (math.inf, "inf"),
    (-math.inf, "-inf"),
])
def test_scientific_notation(value, text):
    with pytest.raises(_velkor.SolverError) as info:
        hooks.raise_error("IkNotConverged", 1, value, value)
    assert info.value.args[0] == (
        f"inverse kinematics did not converge after 1 iterations "
        f"(translation error {text}, rotation error {text})")


def test_debug_representation():
    assert hooks.wrong_length_debug() == 'WrongSliceLength { slice: "q", expected: 6, actual: 5 }'


@pytest.mark.parametrize("message, expected", [("joint table is corrupt", "joint table is corrupt"),
                                               (None, "native velkor panic")])
def test_guarded_fault_becomes_panic_error(message, expected):
    with pytest.raises(_velkor.PanicError) as info:
        hooks.trigger_fault(message)
    assert info.value.args == (expected,)


def test_escaped_fault_is_not_a_velkor_error():
    with pytest.raises(BaseException) as info:
        hooks.trigger_fault("lost", False)
    assert not isinstance(info.value, Exception)
    assert str(info.value) == "lost"


def _overflowing(kind):
    """(robot, call) pairs whose finite, accepted inputs overflow double arithmetic."""
    import numpy as np

    import velkor
    from velkor.samples import sample_path

    arm = velkor.Robot(sample_path("arm"))
    q, huge = np.zeros(7), np.full(7, 1e200)
    if kind == "gravity_vector":  # across the upright arm: its torques pass the largest double
        arm.gravity_vector = (1e308, 0.0, 0.0)
        return "gravity", lambda: arm.gravity(q)
    if kind == "batch":
        arm.gravity_vector = (1e308, 0.0, 0.0)
        return "gravity", lambda: arm.batch(1).gravity(np.zeros((2, 7)))
    if kind == "kinetic_energy":
        return "kinetic_energy", lambda: arm.kinetic_energy(q, huge)
    if kind == "velocity":
        return "forward_velocity_kinematics", lambda: arm.forward_velocity_kinematics(q, huge * 1e108, 8)
    if kind == "derivatives":
        return "inverse_dynamics_derivatives", lambda: arm.inverse_dynamics_derivatives(q, huge, huge)
    quadruped = velkor.FloatingRobot(sample_path("quadruped"))
    base = velkor.BaseState(velocity=velkor.Twist([0, 0, 0], [1e308, 0, 0]))
    return "centroidal_momentum", lambda: quadruped.centroidal_momentum(base, np.zeros(12), np.full(12, 1e200))


@pytest.mark.parametrize("kind", ["gravity_vector", "batch", "kinetic_energy", "velocity", "derivatives", "floating"])
def test_a_result_that_overflows_is_a_solver_error(kind):
    method, call = _overflowing(kind)
    with pytest.raises(_velkor.SolverError, match=f"^the result of {method} is not finite"):
        call()
