// nalto-fmu-sim: serves an FMI 2.0 Co-Simulation FMU as a sim.
//   nalto-fmu-sim MODEL.fmu --host HOST --port PORT

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>
#include <vector>

#include "fmu_sim.hpp"

namespace {

// A doStep that never returns keeps the server from stopping: after this long the unpacked FMU is
// removed and the host ends regardless.
constexpr auto STOP_GRACE = std::chrono::seconds(1);

// Static: the watchdog may outlive main's frame.
std::atomic<bool> finished{false};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: nalto-fmu-sim MODEL.fmu --host HOST --port PORT" << std::endl;
    return 2;
  }
  nalto::fmu::FmuSimulator simulator(argv[1]);
  if (simulator.load_error()) std::cerr << "nalto-fmu-sim: " << *simulator.load_error() << std::endl;

  std::vector<char*> serve_args = {argv[0]};
  serve_args.insert(serve_args.end(), argv + 2, argv + argc);
  const std::string folder = simulator.folder();
  nalto::sims::ServeOptions options{.label = "nalto-fmu-sim"};
  options.on_stop = [folder] {
    std::thread([folder] {
      std::this_thread::sleep_for(STOP_GRACE);
      if (finished) return;
      std::cerr << "nalto-fmu-sim: a call into the FMU did not return; ending without it" << std::endl;
      nalto::fmu::remove_folder(folder);
      std::_Exit(1);
    }).detach();
  };
  const int status =
      nalto::sims::serve(static_cast<int>(serve_args.size()), serve_args.data(), simulator, options);
  finished = true;
  return status;
}
