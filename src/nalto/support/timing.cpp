#include "nalto/support/timing.hpp"

namespace nalto {

namespace {
Timing current;
}

const Timing& timing() {
  return current;
}

ScopedTiming::ScopedTiming(Timing t) : previous_(current) {
  current = t;
}
ScopedTiming::~ScopedTiming() {
  current = previous_;
}

}  // namespace nalto
