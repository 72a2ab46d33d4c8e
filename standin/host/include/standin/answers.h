// Choices the boundary leaves to a host, which this host makes one way
// unless told otherwise: when it ends a module's plug-in objects, and
// answers that its table's entries may give but by default do not. Each is
// a switch, so that a test can run a module against every host the
// boundary allows, not only the one this host happens to be.
#pragma once

#include <cstdint>
#include <string>

namespace standin {

// When the host ends the plug-in objects a module registered: before the
// module's last action 3, or after it (but before the module is unloaded).
enum class EndOrder : uint8_t { ObjectsFirst, ObjectsAfter };

struct OddAnswers {
  // iterate hands the line callback no error slot; when a callback fails,
  // iterate answers the calling thread's current error (a new reference).
  bool noErrorSlot = false;
  // get_logger_types gives a logger without types storage of capacity 0,
  // as a host that always allocates its n entries does.
  bool emptyListWithStorage = false;
  // realloc resizes only storage from alloc: given null, it answers null.
  bool resizeRefusesNull = false;
  // get_and_cache_const_string answers null for this UTF-8 text, as when
  // the host's memory runs out while it makes it; empty: for none.
  std::string constTextNotMade;
};

}  // namespace standin
