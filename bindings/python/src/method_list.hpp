// The one list of the computing methods of Robot and FloatingRobot (the
// methods whose calls run the computing-method skeleton on a methods:: struct):
// the handle tables (handle_rows.hpp) and the batch tables are expanded from
// it; the stub and `velkor bench` are checked against it
// (tests/test_method_list.py), so a new method is added here first. One macro
// per kind of entry:
//   SINGLE(name): on both handles, no batch form (Pose and Twist results);
//   FIXED(name): on Robot only, no batch form, an entry of its own;
//   BATCHED(Entry, name, doc): on both handles and their batches, the batch
//     called through Entry<CoreRobot, methods::name>, documented by doc after
//     the text signature.
#pragma once

#define VELKOR_COMPUTING_METHODS(SINGLE, FIXED, BATCHED)                                                \
  SINGLE(forward_kinematics)                                                                            \
  SINGLE(forward_velocity_kinematics)                                                                   \
  SINGLE(forward_acceleration_kinematics)                                                               \
  FIXED(inverse_kinematics)                                                                             \
  BATCHED(batch_method, forward_kinematics_all, "forward_kinematics_all for each row of q: (N, 7·L).")  \
  BATCHED(batch_method, jacobian, "jacobian for each row of q, one target: (N, 6·G).")                  \
  BATCHED(batch_method, jacobian_derivative, "jacobian_derivative for each row: (N, 6·G).")             \
  BATCHED(batch_method, mass_matrix, "mass_matrix for each row of q: (N, G·G), each row column-major.") \
  BATCHED(batch_method, gravity, "gravity for each row of q, the same loads for every row: (N, G).")    \
  BATCHED(batch_method, inverse_dynamics,                                                               \
          "inverse_dynamics for each row, the same loads for every row: (N, G).")                       \
  BATCHED(batch_method, velocity_product_forces, "velocity_product_forces for each row: (N, G).")       \
  BATCHED(batch_method, forward_dynamics,                                                               \
          "forward_dynamics for each row, the same loads for every row: (N, G).")                       \
  BATCHED(batch_method, center_of_mass, "center_of_mass for each row: (N, 3).")                         \
  BATCHED(batch_method, center_of_mass_velocity, "center_of_mass_velocity for each row: (N, 3).")       \
  BATCHED(batch_method, center_of_mass_jacobian, "center_of_mass_jacobian for each row: (N, 3·G).")     \
  BATCHED(batch_method, centroidal_momentum, "centroidal_momentum for each row: (N, 6).")               \
  BATCHED(batch_method, centroidal_momentum_matrix,                                                     \
          "centroidal_momentum_matrix for each row: (N, 6·G).")                                         \
  BATCHED(batch_method, kinetic_energy, "kinetic_energy for each row: (N, 1).")                         \
  BATCHED(batch_method, potential_energy, "potential_energy for each row: (N, 1).")                     \
  BATCHED(batch_method, inverse_dynamics_derivatives,                                                   \
          "inverse_dynamics_derivatives for each row: a pair of (N, G·G) arrays.")                      \
  BATCHED(batch_method, forward_dynamics_derivatives,                                                   \
          "forward_dynamics_derivatives for each row: three (N, G·G) arrays.")                          \
  BATCHED(batch_method, gravity_derivatives, "gravity_derivatives for each row: (N, G·G).")             \
  BATCHED(batch_method, constrained_forward_dynamics,                                                   \
          "constrained_forward_dynamics for each row, the same constraints and loads\n"                 \
          "for every row: (N, G) accelerations and (N, m) forces.")                                     \
  BATCHED(batch_method, impulse_dynamics,                                                               \
          "impulse_dynamics for each row, the same constraints for every row: (N, G)\n"                 \
          "velocities and (N, m) impulses.")                                                            \
  BATCHED(batch_method, constraint_jacobian,                                                            \
          "constraint_jacobian for each row of q: (N, m·G), each row column-major.")                    \
  BATCHED(batch_method, constraint_acceleration_bias,                                                   \
          "constraint_acceleration_bias for each row: (N, m).")                                         \
  BATCHED(batch_method, constraint_poses, "constraint_poses for each row of q: (N, 7·S).")              \
  BATCHED(batch_method, integrate, "integrate for each row of configuration and velocity: (B, C).")     \
  BATCHED(batch_method, difference,                                                                     \
          "difference for each row of configuration0 and configuration1: (B, N).")                      \
  BATCHED(batch_method, interpolate, "interpolate for each row, the same t for every row: (B, C).")     \
  BATCHED(batch_method, integrate_derivatives,                                                          \
          "integrate_derivatives for each row: a pair of (B, N·N) arrays.")                             \
  BATCHED(batch_method, difference_derivatives,                                                         \
          "difference_derivatives for each row: a pair of (B, N·N) arrays.")                            \
  BATCHED(batch_rollout, rollout,                                                                       \
          "rollout for each row: configurations (B, C), velocities (B, N) and forces\n"                 \
          "(B, T, N), the same dt, constraints and regularization for every row.\n"                     \
          "Returns (configurations (B, T+1, C), velocities (B, T+1, N)), row i\n"                       \
          "bit-identical to the single call on row i. out: None or a tuple of two\n"                    \
          "C-contiguous float64 arrays of those shapes, not overlapping. Ctrl-C\n"                      \
          "stops every thread within a step; a failing row raises its error with\n"                     \
          "\" (step t)\" and \" (row i)\" added. No allocation per row or step.")                       \
  BATCHED(batch_method, constrained_dynamics_derivatives,                                               \
          "constrained_dynamics_derivatives for each row: three (N, G·G) arrays, then\n"                \
          "three (N, m·G) arrays.")
