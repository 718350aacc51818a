// The one place where facade errors become Python exceptions.

#include "lib/error_mapping.hpp"

#include <string>
#include <type_traits>
#include <variant>

#include "lib/module_state.hpp"

namespace tessaradb::python {

std::nullptr_t map_tessaradb_err(const TessaraDBError& error) {
  ModuleState& state = module_state();
  if (!ensure_exceptions(state)) return nullptr;
  std::visit(
      [&](const auto& kind) {
        using Kind = std::decay_t<decltype(kind)>;
        if constexpr (std::is_same_v<Kind, TessaraDBError::MemoryNotFound>) {
          const std::string text = "Memory ID " + std::to_string(kind.id) + " not found";
          raise_message(state.not_found_error, text.c_str());
        } else if constexpr (std::is_same_v<Kind, TessaraDBError::Io>) {
          raise_message(state.io_error, kind.inner.message().c_str());
        } else if constexpr (std::is_same_v<Kind, TessaraDBError::Store>) {
          if (const auto mismatch = error.dimension_mismatch()) {
            const std::string text = "Dimension mismatch: expected " +
                                     std::to_string(mismatch->expected) + ", got " +
                                     std::to_string(mismatch->actual);
            raise_message(state.config_error, text.c_str());
          } else {
            raise_message(state.error, kind.inner.message().c_str());
          }
        } else {
          static_assert(std::is_same_v<Kind, TessaraDBError::StateMachine>);
          raise_message(state.error, error.message().c_str());
        }
      },
      error.kind);
  return nullptr;
}

}  // namespace tessaradb::python
