// The immutable robot model: links, joints and the flat index tables that let
// every algorithm walk the tree with plain loops.
//
// Numbering: links breadth-first from the root (link 0); joint k leads to link
// k+1 and its parent link index is below k+1; DOF indices go to the non-fixed
// joints in joint order.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "interrupt.hpp"
#include "model/joint.hpp"
#include "model/link.hpp"
#include "model/shape.hpp"
#include "robot/link_id.hpp"
#include "spatial_algebra.hpp"

namespace velkor {

namespace urdf {
struct Robot;
}

// A <mimic> coupling that import loosened: the joint moves as an ordinary DOF,
// and callers who want the coupling keep q = multiplier · q_leader + offset.
// `leader` is the name as written in the file.
struct MimicJoint {
  std::string joint;
  std::string leader;
  double multiplier = 1;
  double offset = 0;
};

// What import does with <mimic> elements: refuse the file, make every moving
// mimic joint an independent degree of freedom, or couple it to its leader
// (see Coupling). Independent and Couple still refuse a coupling whose leader
// is missing, the joint itself, on a cycle of mimics, or not a revolute,
// continuous or prismatic joint; a fixed joint's mimic element couples nothing.
enum class MimicPolicy { Reject, Independent, Couple };

// The couplings of a model loaded with MimicPolicy::Couple. Every moving joint
// keeps its DOF in the model: the kernels' coordinates, the "full" ones. The
// DOFs move in groups, one per free coordinate (a joint that mimics nothing,
// in DOF order): q_full[d] = multiplier[d]·q[group[d]] + offset[d], a chain of
// mimics resolved to the free joint at its end. So q_full = G q + b, q̇_full =
// G q̇, and generalized forces contract as τ = Gᵀ τ_full.
struct Coupling {
  std::vector<std::size_t> group;     // per DOF: its free coordinate
  std::vector<double> multiplier;     // per DOF (1 for a free joint)
  std::vector<double> offset;         // per DOF (0 for a free joint)
  std::vector<std::size_t> free_dof;  // per free coordinate: the free joint's DOF
  std::vector<std::size_t> members;  // per free coordinate: how many DOFs follow it (itself included)
  // The most groups that are ever open at once (seen in part) in a subtree of
  // the moving bodies: what the coupled recursion's scratch holds per body.
  std::size_t most_open = 0;
  // The most bodies that hold open groups at once in that recursion: the
  // blocks of most_open slots its scratch needs.
  std::size_t open_blocks = 0;

  std::size_t free_count() const { return free_dof.size(); }
};

// The largest inertia tolerance import takes: a defect beyond a thousandth of the
// robot's largest principal moment is a wrong inertia, not rounding.
inline constexpr double max_inertia_tolerance = 1e-3;

struct ImportOptions {
  MimicPolicy mimic = MimicPolicy::Reject;
  // 0, the default: a link inertia with any negative eigenvalue is refused. In
  // (0, max_inertia_tolerance]: one whose most negative eigenvalue is no lower
  // than −inertia_tolerance × the largest principal moment among the file's
  // links is accepted and held with its negative eigenvalues set to zero, and
  // listed in Model::inertia_repairs. Any other value is a caller's bug.
  double inertia_tolerance = 0.0;
};

class Model {
 public:
  std::string name;
  std::vector<Joint> joints;  // J, joint order
  std::vector<Link> links;  // L = J + 1, link order
  std::vector<JointKinematics> joint_kinematics;  // J, copy kept contiguous for kinematics
  std::vector<JointPlacement> joint_placements;  // J, the same as matrices (dynamics)
  std::vector<MassProperties> link_mass_properties;  // L, copy kept contiguous for dynamics
  std::vector<JointForm> joint_forms;  // J: the zero terms the kernels skip
  // Tables of the dynamics kernels, which read them of the moving() model:
  std::vector<MassParameters> link_mass_parameters;  // L: (m, h, I_o) of each link
  std::vector<double> subtree_mass;  // L: mass of each link with every link below it
  // L: each link's first moment h plus, for each joint leaving it, the mass
  // below that joint times the joint's origin t_o: h + Σ M_c t_o,c, link axes
  std::vector<Vec3> gravity_moment;
  std::vector<std::size_t> dof_list;  // n: joint index of each DOF
  std::vector<std::optional<std::size_t>> joint_dof;  // J: DOF index of each joint, none if fixed
  std::vector<std::optional<std::size_t>>
      dof_parent;  // n: nearest ancestor DOF of each DOF, none at the top
  std::vector<std::size_t> parent;  // J: parent link index of each joint
  std::vector<MimicJoint> mimic_joints;  // couplings of DOF joints, DOF order
  std::shared_ptr<const Coupling> coupling;  // MimicPolicy::Couple with mimic joints; else none
  std::vector<InertiaRepair> inertia_repairs;  // inertias accepted within the tolerance, link order
  std::vector<LinkShape> visuals;     // link order, then file order within a link
  std::vector<LinkShape> collisions;  // the same for <collision> elements
  std::vector<SkippedShape> skipped_shapes;  // link order, visuals first, then file order
  std::uint64_t id = 0;

  // Moving bodies. Each link joined to its parent by a fixed joint belongs to
  // its parent's body: body 0 holds the root link, body d + 1 the child link of
  // DOF d's joint, each with the links fixed below it. The dynamics run on
  // `bodies`, the model of the moving bodies alone: link d + 1 is body d + 1
  // with the combined mass properties of its links in its frame, and joint d is
  // DOF d, its origin given in the parent body's frame.
  std::shared_ptr<const Model> bodies;  // none without fixed joints: the model is its own
  std::vector<std::size_t> link_body;  // L: the body of each link
  std::vector<Pose> link_in_body;  // L: each link's frame in its body's frame

  // The document the model was built from and the import choices, so that the
  // same model can be built again elsewhere (empty when built from records).
  std::string source;
  std::string path;  // the file's absolute path; empty when built from a document in memory
  ImportOptions options;

  // The model the dynamics iterate over: one link per moving body.
  const Model& moving() const { return bodies ? *bodies : *this; }

  std::size_t link_count() const { return links.size(); }
  std::size_t joint_count() const { return joints.size(); }
  std::size_t dof_count() const { return dof_list.size(); }

  // Joint k leads from link parent[k] to link k + 1, its child.
  static constexpr std::size_t child_link(std::size_t k) { return k + 1; }

  // Position of joint k: q[DOF index] for a joint with a DOF, 0 for a fixed joint.
  double joint_position(std::size_t k, const double* q) const {
    const auto& dof = joint_dof[k];
    return dof ? q[*dof] : 0.0;
  }

  // First link, in link order, with exactly this name.
  std::expected<std::size_t, Error> find_link(std::string_view link_name) const;
  // The link index of an identifier, if it belongs to this model.
  std::expected<std::size_t, Error> link_index(const LinkId& link) const;
};

// Per-joint rows are per-child-link rows: row k holds link k + 1. The value of
// a parent link p is therefore the root's own for p = 0, else row p − 1.
template <class T, class Rows>
T& parent_row(std::size_t p, T& root, Rows& rows) {
  return p == 0 ? root : rows[p - 1];
}

// Process-wide source of model identifiers: starts at 1, never reused, never 0.
extern std::atomic<std::uint64_t> NEXT_MODEL_ID;
std::uint64_t take_model_id();

// Result of URDF import: shared ownership of one immutable model.
class RobotModel {
 public:
  static std::expected<RobotModel, Error> from_urdf(const std::string& path);
  // The same; `interrupt` is polled after each phase (read, parse) and when a
  // wait for the file is cut short by a signal. Asked to stop: `Interrupted`.
  static std::expected<RobotModel, Error> from_urdf(const std::string& path, Interrupt& interrupt,
                                                    const ImportOptions& options = {});
  // A document held in memory: the same checks and texts as a file.
  static std::expected<RobotModel, Error> from_urdf_string(std::string_view text, Interrupt& interrupt,
                                                           const ImportOptions& options = {});
  // `source`: the document `robot` was read from, kept with the model, and
  // `path` the file it was read from (none for a document in memory).
  static std::expected<RobotModel, Error> from_description(const urdf::Robot& robot,
                                                           const ImportOptions& options = {},
                                                           std::string_view source = {},
                                                           std::string_view path = {});

  const Model& model() const { return *model_; }
  const Model* operator->() const { return model_.get(); }
  const std::shared_ptr<const Model>& shared() const { return model_; }

 private:
  explicit RobotModel(std::shared_ptr<const Model> model) : model_(std::move(model)) {}
  std::shared_ptr<const Model> model_;
};

}  // namespace velkor
