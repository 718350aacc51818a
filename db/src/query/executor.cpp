#include "query/executor.hpp"

namespace tessaradb {

Result<QueryExecution, HybridQueryError> QueryExecutor::execute_with_trace(
    std::string_view, const QueryPlan& plan, const StateMachine&, const VectorIndex&,
    const QueryEmbedder&, const QueryTrace&) {
  if (plan.options.top_k == 0) return HybridQueryError{HybridQueryError::InvalidTopK{0}};
  return QueryExecution{};
}

}  // namespace tessaradb
