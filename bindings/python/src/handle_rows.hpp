// The computing methods' rows of a handle's method table, expanded from the
// method list (method_list.hpp) as the batch tables are. A row's text
// signature comes from its method's description, its entry is the
// computing-method skeleton's (the rollout's own for the rollout), and its
// prose is Prose<CoreRobot, methods::name>::text, which the rooms write with
// VELKOR_PROSE and the handle's file expands for its handle kind.
#pragma once

#include <string_view>

#include "computing_method.hpp"
#include "method_list.hpp"
#include "rollout.hpp"

namespace velkor::py {

namespace methods {
struct rollout;
}  // namespace methods

// The docstring of Method's row on a CoreRobot handle after its text
// signature; left undefined, so that a listed method without prose does not
// compile.
template <class CoreRobot, class Method>
struct Prose;

#define VELKOR_PROSE(CoreRobot, name, doc)        \
  template <>                                     \
  struct Prose<CoreRobot, methods::name> {        \
    static constexpr std::string_view text = doc; \
  };

// The function a handle's row of Method calls.
template <class CoreRobot, class Method>
inline constexpr auto handle_entry = &computing_method<CoreRobot, Method>;
template <class CoreRobot>
inline constexpr auto handle_entry<CoreRobot, methods::rollout> =
    &rollout_method<CoreRobot, methods::rollout>;

// The rows of every listed method on a handle of kind Core (a name the
// handle's file declares), in the list's order, and the entry that ends the
// table. FIXED(name) writes the row of a method on Robot only, whose entry is
// the handle's own (VELKOR_NO_ROW on a FloatingRobot).
#define VELKOR_HANDLE_ROW(name) \
  VELKOR_METHOD_ROW(handle_entry, Core, name, (Prose<Core, methods::name>::text)),
#define VELKOR_HANDLE_BATCHED_ROW(Entry, name, doc) VELKOR_HANDLE_ROW(name)
#define VELKOR_NO_ROW(name)
#define VELKOR_HANDLE_ROWS(FIXED)                                                 \
  VELKOR_COMPUTING_METHODS(VELKOR_HANDLE_ROW, FIXED, VELKOR_HANDLE_BATCHED_ROW) { \
    nullptr, nullptr, 0, nullptr                                                  \
  }

}  // namespace velkor::py
