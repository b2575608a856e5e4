#pragma once

// What a sim's start tells the tool on its status pipe, record after record, until the pipe closes at
// the sim's exec. The runtime and our init for the sim's PID namespace (runtime/init/) speak it from
// either side of an exec, so it holds plain integers only.

#include <cstdint>

namespace nalto::runtime::start {

enum class Kind : std::int32_t { failure = 1, isolation = 2 };

// Where the start failed.
enum class Stage : std::int32_t { enter_folder = 1, redirect = 2, exec = 3, isolate = 4 };

// How the sim is kept apart from the machine's other processes; `error` says why not, or why its
// /proc is the system's.
enum class Isolation : std::int32_t {
  own_namespace = 1,          // a PID namespace of its own, with a /proc of its own
  namespace_system_proc = 2,  // a PID namespace of its own, but mounting its /proc was refused
  no_pid_namespace = 3,       // the kernel refused the PID namespace
  no_user_namespace = 4,      // without privilege, the kernel refused the user namespace it needs
  no_init = 5,                // our init could not be run
};

struct Record {
  Kind kind;
  std::int32_t what;   // a Stage or an Isolation
  std::int32_t error;  // an errno value, 0 for none
};

}  // namespace nalto::runtime::start
