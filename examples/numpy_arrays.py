# Needs: pip install velkor
"""NumPy arrays everywhere: poses, loads, gravity, joint vectors, batches and base rows.

Every argument that takes numbers takes a NumPy array of any real dtype (float64 is used as it
is, float32, integer and bool arrays are converted) as well as a list or a tuple, and every array
result is float64 (joint index maps are intp). The annotations below pass mypy --strict.
"""

import numpy as np
import numpy.typing as npt

import velkor
from velkor.samples import sample_path

Array = npt.NDArray[np.float64]


def tool_forces(arm: velkor.Robot, q: Array, weight: Array) -> Array:
    """Joint forces holding the arm still with a weight (world axes, N) hanging from the tool."""
    tool = arm.link_id("tool")
    to_link = arm.forward_kinematics(q, tool).inverse().rotation_matrix  # world axes to link axes
    loads = arm.load_buffer()
    loads.set(tool, force=to_link @ weight)  # forces are given in the link's axes
    return arm.gravity(q, loads=loads)


def main() -> None:
    arm = velkor.Robot(sample_path("arm"))
    n = arm.joint_count
    rng = np.random.default_rng(np.random.SeedSequence(7))

    # Values from arrays: a pose from a 4 x 4 matrix or from a translation, points as rows.
    mount = velkor.Pose.from_matrix(np.eye(4))
    lifted = velkor.Pose(np.array([0, 0, 0.1]), np.array([0.0, 0.0, 0.0, 1.0]))
    corners: npt.NDArray[np.int64] = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]])
    print("box corners lifted (m):", lifted.transform_points(corners).tolist())
    arm.set_base_frame(mount @ lifted)
    arm.gravity_vector = np.array([0.0, 0.0, -9.81])

    # Joint vectors of any real dtype; results are float64.
    q = arm.random_configuration(rng)
    qd: npt.NDArray[np.float32] = rng.uniform(-1, 1, n).astype(np.float32)  # a sensor's float32
    qdd: npt.NDArray[np.int64] = np.zeros(n, dtype=np.int64)
    tau = arm.inverse_dynamics(q, qd, qdd)
    print("joint forces (N·m):", np.round(tau, 2))

    # A load from a rotation matrix product, as a list of values or through a reusable buffer.
    weight = np.array([0.0, 0.0, -2 * 9.81])
    tool = arm.link_id("tool")
    load = velkor.Load(np.int64(tool), force=arm.forward_kinematics(q, tool).inverse().rotation_matrix @ weight)
    with_list = arm.gravity(q, loads=[load])
    assert np.allclose(with_list, tool_forces(arm, q, weight))
    print("holding 2 kg (N·m):", np.round(with_list, 2))

    # Preallocated results, NumPy scalars as options, and inverse kinematics into `out`.
    mass = np.empty(n * n)
    arm.mass_matrix(q, out=mass)
    print("mass matrix symmetric:", bool(np.allclose(velkor.as_matrix(mass, n), velkor.as_matrix(mass, n).T)))
    options = velkor.IkOptions(max_iterations=np.int64(200), translation_tolerance=np.float64(1e-9))
    goal = arm.forward_kinematics(q, tool)
    solution = np.empty(n)
    start = 0.9 * q + 0.1 * arm.neutral_configuration()  # near the goal, within the limits
    arm.inverse_kinematics(start, np.intp(tool), goal, options, out=solution)
    miss = np.subtract(arm.forward_kinematics(solution, tool).translation, goal.translation)
    print("inverse kinematics reached the goal within (m):", float(np.max(np.abs(miss))))

    # Another library's joint order, names in a NumPy array: an index map both ways.
    theirs = np.array(arm.dof_names[::-1])
    ours_from_theirs: npt.NDArray[np.intp] = arm.dof_order(theirs)
    q_theirs = q[arm.dof_order(theirs, inverse=np.True_)]
    assert np.array_equal(q_theirs[ours_from_theirs], q)

    # Batches: one state per row, float32 rows included, written into a preallocated array.
    states = np.stack([arm.random_configuration(rng) for _ in range(8)]).astype(np.float32)
    forces = np.empty((len(states), n))
    arm.batch(threads=1).gravity(states, out=forces)
    print("gravity over a batch of 8, largest (N·m):", round(float(np.max(np.abs(forces))), 2))

    # A floating base from rows of 19 numbers: pose [tx, ty, tz, qx, qy, qz, qw], velocity, acceleration.
    robot = velkor.FloatingRobot(sample_path("quadruped"))
    rows = np.zeros((4, 19))
    rows[:, 2] = np.linspace(0.2, 0.5, 4)  # heights
    rows[:, 6] = 1.0  # identity rotation
    legs = np.tile(robot.neutral_configuration(), (4, 1))
    centres = robot.batch(threads=1).center_of_mass(rows, legs)
    one: Array = robot.center_of_mass(velkor.BaseState.from_array(rows[0]), legs[0])
    assert np.allclose(centres[0], one)
    print("centre of mass heights (m):", np.round(centres[:, 2], 3))


if __name__ == "__main__":
    main()
