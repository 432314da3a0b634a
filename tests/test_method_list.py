"""The computing methods are listed once (VELKOR_COMPUTING_METHODS in bindings/python/src/method_list.hpp,
read here through _velkor_testing): the handles and their batches expand it, and the stub (whose
four classes share their computing methods through generic bases) and `velkor bench` carry exactly
the listed methods, so a method added in one place and not the others fails here."""

import ast
import inspect
from pathlib import Path

import numpy as np
import pytest
from peers import TESTING

import _velkor
from velkor._bench import COMPUTING_METHODS

STUB = Path(__file__).parent.parent / "python" / "_velkor.pyi"
_velkor_testing = pytest.importorskip("_velkor_testing", reason=TESTING)
LISTED = _velkor_testing.computing_methods()
BATCHED = {name for name, _, batched in LISTED if batched}
# The handles' other methods: loading, lifetime, the model's description, and the solvers' builders.
NOT_COMPUTING = {"_restore", "batch", "close", "constraint_set", "dof_index", "dof_order", "fork", "from_urdf",
                 "from_urdf_string", "ik_problem", "joint_dict", "joint_vector", "link_id", "load_buffer",
                 "neutral_configuration", "random_configuration", "set_base_frame"}


def listed_for(handle):
    return {name for name, kinds, _ in LISTED if kinds == "both" or handle is _velkor.Robot}


def methods_of(cls):
    """The methods (not the properties) a class defines, dunders left out."""
    return {name for name, value in vars(cls).items()
            if not name.startswith("__") and type(value).__name__ in {"method_descriptor", "classmethod_descriptor"}}


def batch_type(handle):
    """RobotBatch or FloatingRobotBatch, which the module does not name."""
    return type(handle(str(Path(__file__).parent / "data" / "coupled_hand.urdf"), mimic="couple").batch(1))


def stub_parameters():
    """{class name: {method name: parameter names after self}} of the stub, methods of its bases included."""
    tree = ast.parse(STUB.read_text())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}

    def collect(name):
        node = classes[name]
        found = {}
        for base in node.bases:
            base = base.value if isinstance(base, ast.Subscript) else base  # a generic base: its class
            if isinstance(base, ast.Name) and base.id in classes:
                found.update(collect(base.id))
        for item in node.body:
            if isinstance(item, ast.FunctionDef):
                arguments = item.args
                found[item.name] = [a.arg for a in arguments.posonlyargs + arguments.args + arguments.kwonlyargs][1:]
        return found

    return {name: collect(name) for name in ("Robot", "FloatingRobot", "RobotBatch", "FloatingRobotBatch")}


HANDLES = [_velkor.Robot, _velkor.FloatingRobot]


def test_the_stub_writes_a_floating_method_as_the_fixed_base_one_with_base_first():
    tree = ast.parse(STUB.read_text())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}

    def methods(name):
        return {item.name: item for item in classes[name].body if isinstance(item, ast.FunctionDef)}

    fixed, floating = methods("_FixedBaseMethods"), methods("_FloatingBaseMethods")
    assert fixed.keys() == floating.keys()
    for name, method in floating.items():
        assert [ast.unparse(a) for a in method.args.args[1:2]] == ["base: _B"], name
        del method.args.args[1]
        assert ast.dump(method) == ast.dump(fixed[name]), name


@pytest.mark.parametrize("handle", HANDLES, ids=lambda h: h.__name__)
def test_handles_and_batches_carry_exactly_the_listed_methods(handle):
    assert methods_of(handle) - NOT_COMPUTING == listed_for(handle)
    assert methods_of(batch_type(handle)) == BATCHED


@pytest.mark.parametrize("handle", HANDLES, ids=lambda h: h.__name__)
def test_the_stub_declares_each_listed_method_with_its_parameters(handle):
    stub = stub_parameters()
    batch = batch_type(handle)
    for name in listed_for(handle):
        runtime = list(inspect.signature(getattr(handle, name)).parameters)[1:]
        assert stub[handle.__name__].get(name) == runtime, name
        if name in BATCHED:
            runtime = list(inspect.signature(getattr(batch, name)).parameters)[1:]
            assert stub[batch.__name__].get(name) == runtime, name


def test_bench_times_every_listed_method_as_the_handles_take_it():
    assert [m.name for m in COMPUTING_METHODS if m.fixed_base_only] == [n for n, k, _ in LISTED if k == "fixed"]
    assert {m.name for m in COMPUTING_METHODS} == {name for name, _, _ in LISTED}
    for method in COMPUTING_METHODS:
        if not method.fixed_base_only:
            parameters = list(inspect.signature(getattr(_velkor.FloatingRobot, method.name)).parameters)
            assert method.takes_base == (parameters[1] == "base"), method.name


# The methods whose generalized forces were once named tau: forces is the name, tau= an alias of it.
FORCES_ALIASED = ["forward_dynamics_derivatives", "constrained_forward_dynamics", "constrained_dynamics_derivatives"]


@pytest.mark.parametrize("batched", [False, True], ids=["single", "batch"])
@pytest.mark.parametrize("name", FORCES_ALIASED)
def test_forces_may_be_given_as_tau_but_not_as_both(name, batched):
    robot = _velkor.Robot(str(Path(__file__).parent / "data" / "coupled_hand.urdf"), mimic="couple")
    n = robot.joint_count
    q, qd, forces = np.linspace(0.1, 0.4, n), np.full(n, 0.2), np.linspace(-1.0, 1.0, n)
    given = {"constraints": robot.constraint_set([_velkor.Contact(robot.link_count - 1)])} if "constrained" in name else {}
    if batched:
        robot, q, qd, forces = robot.batch(1), q[None], qd[None], forces[None]
    method = getattr(robot, name)
    assert list(inspect.signature(method).parameters)[2] == "forces"
    expected = method(q, qd, forces, **given)
    for spelling in ("forces", "tau"):
        result = method(q, qd, **{spelling: forces}, **given)
        assert all(np.array_equal(a, b) for a, b in zip(expected, result, strict=True)), spelling
    with pytest.raises(TypeError, match="multiple values for argument 'forces'"):
        method(q, qd, forces, tau=forces, **given)
    with pytest.raises(TypeError, match="multiple values for argument 'forces'"):
        method(q, qd, tau=forces, forces=forces, **given)
