// What a link looks like and what it collides with, as the robot description
// gives it: shapes fixed in the link's frame.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>

#include "spatial.hpp"

namespace velkor {

enum class ShapeKind { Box, Cylinder, Sphere, Mesh, Capsule, Plane };

// One <visual> or <collision> element of link `link` (link index).
struct LinkShape {
  std::size_t link = 0;
  Pose origin = Pose::identity();  // the shape's frame in the link's frame
  ShapeKind kind = ShapeKind::Box;
  // Metres: a box's edges (x, y, z); a cylinder's or a capsule's radius and
  // length (along its z axis; a capsule's between its caps' centres); a
  // sphere's radius; nothing for a mesh. A plane's unit normal (no unit): the
  // plane through the shape's origin, solid on the side away from the normal.
  std::array<double, 3> size{0, 0, 0};
  std::string filename;                   // a mesh's, as written in the file
  std::array<double, 3> scale{1, 1, 1};   // a mesh's
  std::optional<std::array<double, 4>>
      color;  // rgba from 0 to 1: the visual's own, or its named material's
  std::string name;      // the element's name, empty when none
  std::string material;  // a visual's material name, empty when none
};

// A <visual> or <collision> element of link `link` that import left out, the
// reader unable to read it (an unknown shape, none, two): a link's geometry
// never stops its dynamics from loading.
struct SkippedShape {
  std::size_t link = 0;
  bool visual = true;     // a <visual>, else a <collision>
  std::size_t index = 0;  // among the link's elements of its kind, in file order
  std::string reason;
};

}  // namespace velkor
