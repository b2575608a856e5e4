#pragma once

// Everything a caller of the publish-report step needs, in one include.

#include "nalto/analysis/analysis.hpp"
#include "nalto/console/console.hpp"
#include "nalto/main/calibrate_sim.hpp"
#include "nalto/main/score_sim.hpp"
#include "nalto/main/sim_publish_report.hpp"
#include "nalto/mapping/names.hpp"
#include "nalto/mapping/path.hpp"
#include "nalto/mapping/plan.hpp"
#include "nalto/mapping/slots.hpp"
#include "nalto/node/node_post.hpp"
#include "nalto/outside/compute_node.hpp"
#include "nalto/outside/logging.hpp"
#include "nalto/outside/platform.hpp"
#include "nalto/outside/sim_runtime.hpp"
#include "nalto/support/async.hpp"
#include "nalto/support/errors.hpp"
#include "nalto/support/json.hpp"
#include "nalto/support/timing.hpp"
