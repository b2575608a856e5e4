#include "nalto/outside/platform.hpp"

namespace nalto::outside {

APIStatusError::APIStatusError(int status, std::string detail)
    : Error(detail), status_(status), detail_(std::move(detail)) {}

}  // namespace nalto::outside
