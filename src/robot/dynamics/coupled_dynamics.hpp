// Forward dynamics of models whose mimic joints follow their leaders
// (MimicPolicy::Couple, Model::coupling).
#pragma once

#include <expected>
#include <span>

#include "error.hpp"
#include "robot/base.hpp"
#include "robot/loads.hpp"
#include "robot/model.hpp"
#include "robot/workspace.hpp"

namespace velkor {

// The articulated-body kernel of forward_dynamics for a model whose mimic
// joints follow their leaders (model.coupling): q̈ of the free coordinates
// (base.coordinates() + free count values, the base's first as
// forward_dynamics writes them) under generalized forces of that layout, at
// the full positions and rates q_full = G q + b, q̇_full = G q̇
// (model.dof_count() values each, as full_coordinates leaves them; the
// workspace's coupled scratch reserved by it).
//
// The articulated-body recursion with each group of coupled DOFs eliminated
// as one coordinate once the inward pass holds all of its DOFs. A subtree's
// transmitted force is f = I^A a + p^A + Σ_γ V_γ q̈_γ over the groups still
// open in it, with their equations Σ D_γγ' q̈_γ' + V_γᵀ a = u_γ (the same
// columns, by symmetry). DOF k (s = g_k S_k of group x) substitutes
// a = a_p + c_k + s q̈_x; a complete group is eliminated by its Schur
// complement; subtrees add at their parent. A group of one DOF is the classical
// step. Exact: the result solves (Gᵀ M G) q̈ = τ − Gᵀ b(q_full, q̇_full).
// Cost: O(n·(1 + o²)) for o the most groups open at once (0 to 2 for grippers
// and hands). Its first call on a workspace sizes the open groups' blocks
// (O(b·o²) for b the bodies that hold open groups at once, Coupling::open_blocks)
// and allocates; later calls allocate nothing.
std::expected<void, Error> coupled_articulated_body(const Model& model, const Base& base,
                                                    Workspace& workspace, std::span<const double> q_full,
                                                    std::span<const double> qd_full,
                                                    std::span<const double> forces,
                                                    std::span<const IndexedLoad> loads,
                                                    std::span<double> out);

}  // namespace velkor
