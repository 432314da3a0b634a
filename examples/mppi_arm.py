# Needs: pip install velkor
"""Model-predictive path integral (MPPI) control of the sample arm: 1,000 rollouts in one call.

Each iteration draws 1,000 torque sequences around a nominal one (50 steps of 10 ms), rolls all of
them out in one batch call, scores them by how closely the tool follows a target point and how
much they move and push, and moves the nominal to the average of the samples weighted by
exp(-cost / temperature). The printed cost of the nominal sequence falls from iteration to
iteration.

Units and axes: torques in N·m, joint angles in rad, positions in m in world axes; gravity
(0, 0, -9.80665) m/s², along world -z.
"""

import time

import numpy as np
import numpy.typing as npt

import velkor
from velkor.samples import sample_path

Array = npt.NDArray[np.float64]

SAMPLES = 1000  # torque sequences per iteration
HORIZON = 50  # steps per sequence
DT = 0.01  # s per step: 0.5 s of motion
KNOTS = 6  # the noise is drawn at 6 instants and interpolated linearly in between
ACCELERATION_NOISE = 3.0  # rad/s², standard deviation of the exploration per joint
ITERATIONS = 10


def costs(positions: Array, velocities: Array, torques: Array, target: Array, holding: Array) -> Array:
    """Cost of each rollout: squared tool distance to the target over the horizon (running and final),
    joint speeds, and the torque beyond what holds the arm still at the start."""
    squared = np.sum((positions - target) ** 2, axis=-1)  # (B, T + 1), m²
    total: Array = (100.0 * (DT * squared[:, 1:].sum(axis=1) + squared[:, -1])
                    + 0.1 * DT * np.sum(velocities[:, 1:] ** 2, axis=(1, 2))
                    + 1e-3 * DT * np.sum((torques - holding) ** 2, axis=(1, 2)))
    return total


def main() -> None:
    arm = velkor.Robot(sample_path("arm"))
    n, tool = arm.joint_count, arm.link_id("tool")
    batch = arm.batch()
    rng = np.random.default_rng(1)

    def tool_positions(configurations: Array) -> Array:
        """World positions (m) of the tool origin in every state of rollouts (B, T + 1, n): (B, T + 1, 3)."""
        rows, states, _ = configurations.shape
        poses = batch.forward_kinematics_all(configurations.reshape(rows * states, n))  # (B·(T+1), 7·links)
        return poses.reshape(rows, states, -1, 7)[:, :, tool, :3]

    q0 = np.array([0.4, 0.6, -0.3, -1.3, 0.5, 0.9, 0.2])  # at rest
    qd0 = np.zeros(n)
    start = np.array(arm.forward_kinematics(q0, tool).translation)
    target = start + np.array([0.0, 0.15, 0.10])  # 15 cm to the left (+y), 10 cm up (+z)
    holding = arm.gravity(q0)  # the torques that hold the arm still at q0
    print("tool starts at", np.round(start, 3), "m; target", np.round(target, 3), "m")

    # Exploration in joint accelerations: torque noise M(q0)·a with a ~ N(0, ACCELERATION_NOISE²)
    # per joint, so that the light wrist is not thrown about by noise sized for the shoulder.
    mass_matrix = velkor.as_matrix(arm.mass_matrix(q0), n)
    # Linear interpolation between the knots, as a (HORIZON, KNOTS) matrix.
    spread = np.interp(np.arange(HORIZON), np.linspace(0, HORIZON - 1, KNOTS), np.arange(KNOTS))
    interpolation = np.maximum(0.0, 1.0 - np.abs(spread[:, None] - np.arange(KNOTS)))

    def evaluate(torques: Array) -> tuple[float, float]:
        """Cost of one torque sequence (T, n) and how far (m) the tool ends from the target, from one rollout."""
        path, speeds = arm.rollout(q0, qd0, torques, DT)
        cost = costs(tool_positions(path[None]), speeds[None], torques[None], target, holding)[0]
        return float(cost), float(np.linalg.norm(arm.forward_kinematics(path[-1], tool).translation - target))

    nominal = np.tile(holding, (HORIZON, 1))  # (T, n): start by holding still
    starts, start_velocities = np.tile(q0, (SAMPLES, 1)), np.tile(qd0, (SAMPLES, 1))
    elapsed = []
    for iteration in range(ITERATIONS):
        cost, miss = evaluate(nominal)
        knots = rng.normal(0.0, ACCELERATION_NOISE, (SAMPLES, KNOTS, n)) @ mass_matrix.T
        noise = interpolation @ knots  # (B, T, n), N·m
        torques = nominal + noise
        began = time.perf_counter()
        configurations, velocities = batch.rollout(starts, start_velocities, torques, DT)  # (B, T+1, n) each
        elapsed.append(time.perf_counter() - began)
        sampled = costs(tool_positions(configurations), velocities, torques, target, holding)

        # MPPI update: softmax weights of the costs, at a temperature that keeps a few dozen samples in play.
        temperature = 0.05 * (sampled.mean() - sampled.min())
        weights = np.exp(-(sampled - sampled.min()) / temperature)
        weights /= weights.sum()
        nominal = nominal + np.einsum("b,btn->tn", weights, noise)
        print(f"iteration {iteration}: nominal cost {cost:.4f}, tool ends {100 * miss:5.2f} cm from the target;"
              f" best sample {sampled.min():.4f}, {1.0 / np.sum(weights ** 2):5.1f} effective samples")
    cost, miss = evaluate(nominal)
    print(f"after {ITERATIONS} updates: nominal cost {cost:.4f}, tool ends {100 * miss:5.2f} cm from the target")
    print(f"one batch call, {SAMPLES} rollouts of {HORIZON} steps: {1000 * np.median(elapsed):.0f} ms (median)")

    # The batch holds, row by row, what one rollout computes: the best sample again, alone, and
    # the tool position of its final configuration from forward_kinematics.
    best = int(np.argmin(sampled))
    alone, _ = arm.rollout(q0, qd0, torques[best], DT)
    assert np.array_equal(alone, configurations[best])
    again = np.array(arm.forward_kinematics(alone[-1], tool).translation)
    from_batch = tool_positions(configurations[best:best + 1])[0, -1]
    print("best sample's final tool position (m):", np.round(from_batch, 4),
          "; from one rollout and forward_kinematics, largest difference (m):",
          float(np.max(np.abs(again - from_batch))))


if __name__ == "__main__":
    main()
