// Identifies a link of one model. Valid for a model when the model id matches
// and the index is below the model's link count.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velkor {

struct LinkId {
  std::uint64_t model_id = 0;
  std::size_t index = 0;

  friend bool operator==(const LinkId&, const LinkId&) = default;
};

}  // namespace velkor
