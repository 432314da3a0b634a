# Needs: pip install velkor
"""Inverse kinematics of the sample arm to a target pose.

The solver is damped least squares; it raises SolverError when it does not converge or when
the solution leaves the joint limits.
"""

import numpy as np

import velkor
from velkor.samples import sample_path


def main() -> None:
    arm = velkor.Robot(sample_path("arm"))
    tool = arm.link_id("tool")

    # A reachable target: the tool pose at some configuration within the limits.
    goal = arm.random_configuration(3)
    target = arm.forward_kinematics(goal, tool)
    # Start near the answer, as a controller tracking a moving target does.
    start = np.clip(goal + 0.05, arm.lower_limits, arm.upper_limits)

    options = velkor.IkOptions(max_iterations=200, translation_tolerance=1e-8, rotation_tolerance=1e-8)
    try:
        q = arm.inverse_kinematics(start, tool, target, options)
    except velkor.SolverError as error:
        print("no solution:", error)
        return
    reached = arm.forward_kinematics(q, tool)
    print("target  ", np.round(target.translation, 6))
    print("reached ", np.round(reached.translation, 6))
    print("position error (m):", float(np.linalg.norm(np.subtract(reached.translation, target.translation))))


if __name__ == "__main__":
    main()
