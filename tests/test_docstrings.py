"""Every public class, method and property says what it does, beyond its signature."""

import inspect

import pytest

import velkor
import velkor.samples
from velkor import FloatingRobot, Robot
from velkor.samples import sample_path

CLASSES = [
    getattr(velkor, name)
    for name in velkor.__all__
    if inspect.isclass(getattr(velkor, name))
    # the exception classes carry no docstring of their own (see test_errors)
    and not issubclass(getattr(velkor, name), BaseException)
]
MEMBERS = [
    (cls, name) for cls in CLASSES for name in dir(cls) if not (name.startswith("__") and name.endswith("__"))
]


def prose(obj):
    """The docstring without a signature line, stripped; "" when there is none."""
    doc = inspect.getdoc(obj) or ""
    assert "\n--\n" not in doc  # the signature line was split off
    return doc.strip()


def text(obj):
    """The docstring with its line breaks as plain spaces."""
    return " ".join(obj.__doc__.split())


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_every_class_is_described(cls):
    assert len(prose(cls)) > 40


@pytest.mark.parametrize("cls, name", MEMBERS, ids=lambda m: getattr(m, "__name__", m))
def test_every_method_and_property_is_described(cls, name):
    assert len(prose(cls.__dict__.get(name, getattr(cls, name)))) > 20


def test_the_module_the_helpers_and_the_joint_record_are_described():
    for obj in (velkor, velkor.as_matrix, velkor.samples, sample_path):
        assert len(prose(obj)) > 40
    with Robot(sample_path("arm")) as arm:
        joint = arm.joints[0]
    assert "revolute" in text(type(joint)) and "None for a fixed joint" in text(type(joint))


ARRAY_METHODS = ["forward_kinematics_all", "jacobian", "jacobian_derivative", "gravity", "inverse_dynamics",
                 "forward_dynamics", "mass_matrix", "velocity_product_forces"]
VALUE_METHODS = ["forward_kinematics", "forward_velocity_kinematics", "forward_acceleration_kinematics"]


@pytest.mark.parametrize("cls", [Robot, FloatingRobot], ids=lambda c: c.__name__)
def test_computing_methods_state_errors_and_cost(cls):
    methods = ARRAY_METHODS + VALUE_METHODS + (["inverse_kinematics"] if cls is Robot else [])
    for name in methods:
        doc = text(getattr(cls, name))
        for word in ("ValueError", "TypeError", "robot is closed", "PanicError", "interpreter lock"):
            assert word in doc, (name, word)
        if name in ARRAY_METHODS or name == "inverse_kinematics":
            assert "no allocation with out=" in doc, name


@pytest.mark.parametrize("cls", [Robot, FloatingRobot], ids=lambda c: c.__name__)
def test_array_layouts_are_stated(cls):
    assert "[tx, ty, tz, qx, qy, qz, qw]" in text(cls.forward_kinematics_all)
    for name in ("jacobian", "jacobian_derivative", "mass_matrix"):
        doc = text(getattr(cls, name))
        assert "column-major" in doc and "velkor.as_matrix(result" in doc, name
    for name in ("jacobian", "jacobian_derivative", "forward_velocity_kinematics"):
        assert "world axes" in text(getattr(cls, name)), name
    if cls is FloatingRobot:
        for name in ("gravity", "inverse_dynamics", "forward_dynamics", "mass_matrix", "velocity_product_forces"):
            assert "6 + n" in text(getattr(cls, name)), name


def test_solver_and_model_errors_are_named():
    assert "SolverError" in text(Robot.inverse_kinematics)
    for cls in (Robot, FloatingRobot):
        assert "SolverError" in text(cls.forward_dynamics)
        for obj in (cls, cls.from_urdf, cls.from_urdf_string):
            assert "ModelError" in text(obj)
