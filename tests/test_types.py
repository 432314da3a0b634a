"""Type information: the stubs match the built extension, the examples pass mypy --strict, and the
stubs take exactly what the extension takes: NumPy arrays of any real dtype, NumPy scalars, lists
and tuples where it reads numbers, float64 arrays only where it writes, and none of the calls it
refuses.

The stubs of this tree are checked, found before any installed ones; the check that unknown names
are errors uses the installed package alone, as its users see it."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).parent.parent


def mypy(*args, cwd, stubs=None):
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    if stubs is not None:
        env["MYPYPATH"] = str(stubs)
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, env=env)


@pytest.fixture(scope="module")
def stubs(tmp_path_factory):
    """A directory holding this tree's stubs alone (python/ also holds the package sources)."""
    directory = tmp_path_factory.mktemp("stubs")
    shutil.copy(ROOT / "python" / "_velkor.pyi", directory / "_velkor.pyi")
    return directory


def test_stubs_match_the_extension(tmp_path, stubs):
    (tmp_path / "none.ini").write_text("[mypy]\n")
    result = mypy("mypy.stubtest", "_velkor", "--mypy-config-file", str(tmp_path / "none.ini"), cwd=tmp_path,
                  stubs=stubs)
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_pass_strict_checking_and_unknown_names_are_errors(tmp_path, strict):
    errors, output = strict
    examples = {p.name for p in (ROOT / "examples").glob("*.py")}
    assert not examples & errors.keys(), output
    assert "numpy_arrays.py" in examples  # the example that passes NumPy arrays everywhere
    # the installed package alone, as its users see it
    wrong = tmp_path / "wrong.py"
    wrong.write_text("import velkor\nvelkor.Robot('x').nonexistent_method()\nvelkor.Pose().translation + 1\n")
    result = mypy("mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(wrong), cwd=tmp_path)
    assert '"Robot" has no attribute "nonexistent_method"' in result.stdout
    assert "wrong.py:3: error" in result.stdout  # a tuple plus an int


# The package's own modules: all of them pass mypy against this tree's stubs, and the viewer and the
# command line's modules pass --strict too (imported modules are checked but reported only in the
# run that names them).
STRICT = ["viewer.py", "__main__.py", "_cli_io.py", "_address.py", "_lint.py"]


@pytest.mark.parametrize("options, files", [((), ["."]), (("--strict", "--follow-imports=silent"), STRICT)],
                         ids=["package", "strict"])
def test_the_package_passes_mypy(tmp_path, stubs, options, files):
    pytest.importorskip("mypy")
    package = ROOT / "python" / "velkor"
    result = mypy("mypy", *options, "--cache-dir", str(tmp_path / "cache"), *(str(package / f) for f in files),
                  cwd=tmp_path, stubs=stubs)
    assert re.search(r"^(Success: no issues found|Found \d+ errors?) in", result.stdout, re.M), result.stdout + result.stderr
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert not errors, "\n".join(errors)


# Runs before every case, at run time and under mypy: the names the cases use, typed as NumPy types them.
SETUP = """\
import collections
from typing import assert_type

import numpy as np
import numpy.typing as npt

import velkor
from velkor.samples import sample_path

arm = velkor.Robot(sample_path("arm"))
quad = velkor.FloatingRobot(sample_path("quadruped"))
base = velkor.BaseState()
n = arm.joint_count
q = np.zeros(n)
q32 = np.zeros(n, dtype=np.float32)
q_int = np.zeros(n, dtype=np.int64)
q_bool = np.zeros(n, dtype=np.bool_)
legs = np.zeros(quad.joint_count)
rows = np.zeros((2, n))
rows32 = rows.astype(np.float32)
rows_int = rows.astype(np.int32)
three_int = np.array([0, 0, 1])
three32 = np.zeros(3, dtype=np.float32)
complex_matrix = np.eye(4, dtype=np.complex128)
text_three: npt.NDArray[np.str_] = np.array(["0", "0", "0"])
"""

# Calls the extension accepts, with the type of their result (None: a statement).
ACCEPTED = [
    ("velkor.Pose(three_int, (0, 0, np.float32(0), 1))", "velkor.Pose"),
    ("velkor.Pose(np.array([0, 0, 0.1]), np.array([0.0, 0.0, 0.0, 1.0]))", "velkor.Pose"),
    ("velkor.Pose([np.int64(1), 2, 3.0])", "velkor.Pose"),
    ("velkor.Twist(three32, [0, 0, np.int64(1)])", "velkor.Twist"),
    ("velkor.Load(np.int64(1), torque=three_int, force=arm.forward_kinematics(q, 3).rotation_matrix @ three_int)",
     "velkor.Load"),
    ("velkor.Load(1, force=three_int.astype(np.bool_))", "velkor.Load"),
    ("arm.load_buffer().set(np.uint8(1), torque=three32, force=(0, 0, 1))", "None"),
    ("arm.load_buffer().add(1, force=three_int)", "None"),
    ("velkor.BaseState.from_array(np.zeros(19, dtype=np.float32))", "velkor.BaseState"),
    ("velkor.BaseState.from_array(tuple(range(6)) + (1,) + (0,) * 12)", "velkor.BaseState"),
    ("velkor.Pose.from_matrix(np.eye(4, dtype=np.int64))", "velkor.Pose"),
    ("velkor.Pose.from_matrix(np.eye(4).tolist())", "velkor.Pose"),
    ("velkor.Pose.from_matrix(list(np.eye(4)))", "velkor.Pose"),
    ("velkor.Pose().transform_points(np.ones((5, 3), dtype=np.int64))", "npt.NDArray[np.float64]"),
    ("velkor.Pose().transform_points([[1, 2, 3], (4, 5, 6)])", "npt.NDArray[np.float64]"),
    ("velkor.Pose().transform_points(three32)", "npt.NDArray[np.float64]"),
    ("velkor.Pose().as_matrix()", "npt.NDArray[np.float64]"),
    ("base.to_array()", "npt.NDArray[np.float64]"),
    ("velkor.IkOptions(np.int64(5), np.float32(1e-6), 1, np.float64(1e-3), np.array(0.5))", "velkor.IkOptions"),
    ("arm.gravity_vector = three_int", None),
    ("arm.gravity_vector = (0, 0, np.float32(-9.81))", None),
    ("arm.gravity_vector", "npt.NDArray[np.float64]"),
    ("arm.gravity(q_int)", "npt.NDArray[np.float64]"),
    ("arm.gravity(list(q32), loads=(velkor.Load(1),))", "npt.NDArray[np.float64]"),
    ("arm.inverse_dynamics(tuple(q), q32, q_bool, loads=[velkor.Load(1)], out=np.empty(n))", "npt.NDArray[np.float64]"),
    ("arm.forward_dynamics(q_int, q32, q, loads=arm.load_buffer())", "npt.NDArray[np.float64]"),
    ("arm.inverse_dynamics_derivatives(q, q, q, out=(np.empty(n * n), np.empty(n * n)))",
     "tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]"),
    ("arm.jacobian(q32, np.int64(3), out=np.empty(6 * n))", "npt.NDArray[np.float64]"),
    ("arm.forward_kinematics(q_int, np.intp(3))", "velkor.Pose"),
    ("arm.forward_velocity_kinematics(q, q32, 3, tool=velkor.Pose())", "velkor.Twist"),
    ("arm.kinetic_energy(q, q32)", "float"),
    ("arm.inverse_kinematics(q, 3, arm.forward_kinematics(q, 3), velkor.IkOptions(), out=np.empty(n))",
     "npt.NDArray[np.float64]"),
    ("arm.random_configuration(np.int64(1))", "npt.NDArray[np.float64]"),
    ("arm.random_configuration(np.random.SeedSequence(1))", "npt.NDArray[np.float64]"),
    ("arm.random_configuration(np.random.PCG64(1))", "npt.NDArray[np.float64]"),
    ("arm.random_configuration(np.array([1, 2]))", "npt.NDArray[np.float64]"),
    ("arm.dof_order(np.array(arm.dof_names), inverse=np.True_)", "npt.NDArray[np.intp]"),
    ("arm.dof_order(name for name in arm.dof_names)", "npt.NDArray[np.intp]"),
    ("arm.batch(np.int64(1)).gravity(rows_int)", "npt.NDArray[np.float64]"),
    ("arm.batch(1).gravity([q, q32], out=np.empty((2, n)))", "npt.NDArray[np.float64]"),
    ("arm.batch(1).mass_matrix(rows.tolist())", "npt.NDArray[np.float64]"),
    ("arm.batch(1).kinetic_energy(rows32, rows)", "npt.NDArray[np.float64]"),
    ("quad.center_of_mass(base, legs.astype(np.int32))", "npt.NDArray[np.float64]"),
    ("quad.batch(1).gravity(np.stack([base.to_array()] * 2).astype(np.float32), np.stack([legs, legs]))",
     "npt.NDArray[np.float64]"),
    ("quad.batch(1).gravity((base, base), [legs, legs])", "npt.NDArray[np.float64]"),
    ("quad.batch(1).gravity([base.to_array(), base.to_array()], [legs, legs])", "npt.NDArray[np.float64]"),
    ("velkor.CenterOfMassTask(three32, np.int64(1))", "velkor.CenterOfMassTask"),
    ("velkor.PoseTask(np.intp(3), velkor.Pose(), tool=None, weight=np.float32(2), orientation_weight=0)",
     "velkor.PoseTask"),
    ("arm.ik_problem((velkor.PoseTask(3, velkor.Pose()),), damping=np.float64(1e-3), posture=q32)"
     ".solve(q_int, max_iterations=np.int64(5), dt=np.float32(0.1), out=np.empty(n))[0]", "npt.NDArray[np.float64]"),
    ("arm.ik_problem([]).step_qp(list(q32), dt=0.1)[2]", "npt.NDArray[np.float64]"),
    ("arm.ik_problem([]).solve(q)[1]", "velkor.IkResult"),
    ("quad.ik_problem([velkor.CenterOfMassTask(three_int)]).solve(base, legs.astype(np.int32))[1]",
     "npt.NDArray[np.float64]"),
    ("quad.ik_problem([]).solve_many(np.tile(np.r_[np.zeros(6), 1.0, np.zeros(quad.joint_count)], (2, 1)).astype("
     "np.float32), threads=np.int64(2))[0]",
     "npt.NDArray[np.float64]"),
]

# Calls the extension refuses with TypeError: the stubs refuse each of them too.
REFUSED = [
    "velkor.Pose(np.float64(0.1))",  # a NumPy scalar where three numbers are read
    "velkor.Load(1, force=text_three)",
    "velkor.Pose.from_matrix(complex_matrix)",
    "velkor.Pose().transform_points(text_three)",
    "velkor.IkOptions(damping='0.001')",
    "velkor.IkOptions(max_iterations=10.0)",
    "arm.gravity(np.float64(0.0))",  # no dimension
    "arm.gravity([[0.0] * n])",  # two dimensions
    "arm.gravity(q, out=q32)",  # results are written as float64
    "arm.gravity(q, out=list(q))",
    "arm.gravity(q, loads=velkor.Load(1))",
    "arm.inverse_dynamics_derivatives(q, q, q, out=[np.empty(n * n), np.empty(n * n)])",
    "arm.jacobian(q, np.float64(3))",
    "arm.jacobian(q, np.True_)",
    "arm.set_base_frame(np.eye(4))",
    "arm.dof_order(set(arm.dof_names))",  # no order
    "arm.dof_order([name.encode() for name in arm.dof_names])",
    "arm.random_configuration(0.5)",
    "arm.batch(1).gravity(rows, out=rows32)",
    "quad.jacobian(base.to_array(), legs, 3)",
    "quad.batch(1).gravity(collections.deque([base, base]), [legs, legs])",  # only a list or tuple of states
    "velkor.PoseTask(1, np.eye(4))",
    "arm.ik_problem(velkor.PoseTask(1, velkor.Pose()))",  # a sequence of tasks
    "arm.ik_problem([]).solve(base, q)",  # a Robot's problem takes no base
    "quad.ik_problem([]).solve(legs)",  # a FloatingRobot's takes one first
    "arm.ik_problem([]).solve(q, out=q32)",
]

RESULT_CHECKS = {
    "npt.NDArray[np.float64]": lambda r: isinstance(r, np.ndarray) and r.dtype == np.float64,
    "npt.NDArray[np.intp]": lambda r: isinstance(r, np.ndarray) and r.dtype == np.intp,
    "tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]":
        lambda r: isinstance(r, tuple) and len(r) == 2 and all(a.dtype == np.float64 for a in r),
    "float": lambda r: type(r) is float,
    "None": lambda r: r is None,
}


def checked_line(call, result_type):
    return call if result_type is None else f"assert_type({call}, {result_type})"


@pytest.fixture(scope="module")
def strict(tmp_path_factory, stubs):
    """mypy --strict over the examples and the generated case files, once: its errors by file and line."""
    directory = tmp_path_factory.mktemp("typed")
    (directory / "accepted.py").write_text(SETUP + "".join(checked_line(*c) + "\n" for c in ACCEPTED))
    (directory / "refused.py").write_text(SETUP + "".join(c + "\n" for c in REFUSED))
    result = mypy("mypy", "--strict", "--cache-dir", str(directory / "cache"), str(ROOT / "examples"),
                  str(directory / "accepted.py"), str(directory / "refused.py"), cwd=directory, stubs=stubs)
    errors = {}
    for line in result.stdout.splitlines():
        if m := re.match(r"(.+?):(\d+): error: (.*)", line):
            errors.setdefault(Path(m[1]).name, {})[int(m[2])] = m[3]
    assert result.returncode == 1, result.stdout + result.stderr  # errors found (refused.py), no crash
    return errors, result.stdout


def test_calls_the_extension_accepts_pass_strict_checking(strict):
    errors, output = strict
    assert "accepted.py" not in errors, output


def test_calls_the_extension_refuses_are_type_errors(strict):
    errors, _ = strict
    first = SETUP.count("\n") + 1
    expected = {first + i: call for i, call in enumerate(REFUSED)}
    found = errors.get("refused.py", {})
    missed = [expected[line] for line in expected if line not in found]
    assert not missed, "accepted by the stubs: " + ", ".join(missed)
    assert found.keys() <= expected.keys(), found  # the setup checks cleanly


@pytest.fixture(scope="module")
def namespace():
    names = {}
    exec(SETUP, names)
    return names


@pytest.mark.parametrize("call, result_type", ACCEPTED, ids=[c for c, _ in ACCEPTED])
def test_accepted_calls_run_and_return_their_typed_result(namespace, call, result_type):
    if result_type is None:
        exec(call, dict(namespace))
        return
    result = eval(call, dict(namespace))
    check = RESULT_CHECKS.get(result_type)
    if check is None:  # a value class
        assert type(result).__name__ == result_type.removeprefix("velkor.")
    else:
        assert check(result), (result_type, result)


@pytest.mark.parametrize("call", REFUSED)
def test_refused_calls_raise_type_error(namespace, call):
    with pytest.raises(TypeError):
        exec(call, dict(namespace))
