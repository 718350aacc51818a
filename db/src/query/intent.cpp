#include "query/intent.hpp"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <shared_mutex>
#include <system_error>

namespace tessaradb {

namespace {

// The one policy of the process. A function-local static: created with the defaults by the
// first reader, whichever thread that is.
struct PolicyCell {
  std::shared_mutex mutex;  // guards `policy`
  IntentPolicy policy;
};

PolicyCell& policy_cell() {
  static PolicyCell cell;
  return cell;
}

}  // namespace

IntentPolicy get_intent_policy() {
  PolicyCell& cell = policy_cell();
  try {
    std::shared_lock lock(cell.mutex);
    return cell.policy;
  } catch (const std::system_error&) {
    // A lock that cannot be taken leaves the process in an unknown state: stop here.
    std::fputs("intent policy read lock poisoned\n", stderr);
    std::abort();
  }
}

}  // namespace tessaradb
