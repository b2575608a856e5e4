// read_slot and set_slot on a three-key slot, through the real lambda sensor: ns per call after
// the first (which parses the slot name; later calls reuse the parse, never a result).

#include <chrono>
#include <cstdio>

#include "nalto/mapping/slots.hpp"
#include "support/sensor_runtime.hpp"

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double ns_per_call(int calls, F&& f) {
  f();  // the first call parses the slot name
  const auto start = Clock::now();
  for (int i = 0; i < calls; ++i) f();
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / calls;
}

}  // namespace

int main() {
  nalto::testing::SensorRuntime runtime;
  const nalto::Json obs = nalto::Json::parse(R"({"room": {"temps": [20.5, 21.25, 19.0], "fan": 2}, "t": 1})");
  nalto::Json action = nalto::Json::parse(R"({"heater": {"power": [0.5, 0.25]}, "fan": {"speed": [1, 2]}})");
  const std::optional<std::string> sensor = "['room']['temps'][1]";
  const std::optional<std::string> float_slot = "['heater']['power'][1]";
  const std::optional<std::string> int_slot = "['fan']['speed'][0]";
  const nalto::Json value = 2.5;

  constexpr int CALLS = 200000;
  double sink = 0;
  const double read = ns_per_call(CALLS, [&] { sink += nalto::read_slot(obs, sensor).value_or(0); });
  const double write_float = ns_per_call(CALLS, [&] { (void)nalto::set_slot(action, float_slot, value); });
  const double write_int = ns_per_call(CALLS, [&] { (void)nalto::set_slot(action, int_slot, value); });
  std::printf("read_slot  three keys   %7.1f ns/call (aim < 1000)\n", read);
  std::printf("set_slot   float slot   %7.1f ns/call (aim < 1000)\n", write_float);
  std::printf("set_slot   integer slot %7.1f ns/call (aim < 1000)\n", write_int);
  return sink > 0 ? 0 : 1;
}
