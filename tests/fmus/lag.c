/* A first-order lag as an FMI 2.0 Co-Simulation FMU, for the host's tests: y follows the input u with
   time constant tau, unless hold is true. It holds the host to the standard's call order and, when
   NALTO_TEST_FMU_TRACE names a file, appends each call to it. Built in variants that fail on purpose:
   LAG_STEP_ERROR (the second doStep fails), LAG_HANG (the second doStep never returns) and
   LAG_NEEDS_ABSENT (linked against a library that the FMU does not carry). */

#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "fmi2.h"

#ifdef LAG_NEEDS_ABSENT
int nalto_fmu_absent(void);
#endif

enum { VR_U, VR_Y, VR_TAU, VR_Y0 }; /* Real */
enum { VR_STEPS };                  /* Integer */
enum { VR_HOLD, VR_RISING };        /* Boolean */

typedef enum { INSTANTIATED, INITIALIZING, STEPPING, TERMINATED, FAILED } State;

typedef struct {
  fmi2CallbackFunctions callbacks;
  char name[64];
  State state;
  int setup_done;
  fmi2Boolean logging;
  double time, u, y, tau, y0;
  int steps, hold, rising;
  FILE* trace;
} Lag;

static void trace(Lag* m, const char* format, ...) {
  va_list args;
  if (m->trace == NULL) return;
  va_start(args, format);
  vfprintf(m->trace, format, args);
  va_end(args);
  fputc('\n', m->trace);
  fflush(m->trace);
}

static fmi2Status fail(Lag* m, const char* message, double value) {
  m->callbacks.logger(m->callbacks.componentEnvironment, m->name, fmi2Error, "logStatusError", message,
                      value);
  m->state = FAILED;
  return fmi2Error;
}

const char* fmi2GetVersion(void) {
  return "2.0";
}
const char* fmi2GetTypesPlatform(void) {
  return "default";
}

fmi2Component fmi2Instantiate(fmi2String name, fmi2Type type, fmi2String guid, fmi2String resources,
                              const fmi2CallbackFunctions* callbacks, fmi2Boolean visible,
                              fmi2Boolean logging) {
  Lag* m;
  const char* trace_file = getenv("NALTO_TEST_FMU_TRACE");
  (void)visible;
#ifdef LAG_NEEDS_ABSENT
  if (nalto_fmu_absent() != 0) return NULL;
#endif
  if (callbacks == NULL || callbacks->logger == NULL || callbacks->allocateMemory == NULL) return NULL;
  if (type != fmi2CoSimulation || strcmp(guid, "{8c4e810f-3df3-4a00-8276-176fa3c9f003}") != 0 ||
      strncmp(resources, "file:///", 8) != 0) {
    callbacks->logger(callbacks->componentEnvironment, name, fmi2Error, "logStatusError",
                      "wrong type, GUID or resource location %s", resources);
    return NULL;
  }
  m = callbacks->allocateMemory(1, sizeof(Lag));
  memcpy((void*)&m->callbacks, callbacks, sizeof *callbacks);
  snprintf(m->name, sizeof m->name, "%s", name);
  m->logging = logging;
  m->tau = 1.0;
  m->trace = trace_file != NULL ? fopen(trace_file, "a") : NULL;
  trace(m, "fmi2Instantiate");
  if (logging) callbacks->logger(callbacks->componentEnvironment, name, fmi2OK, "logAll", "instantiated");
  return m;
}

void fmi2FreeInstance(fmi2Component c) {
  Lag* m = c;
  trace(m, "fmi2FreeInstance");
  if (m->trace != NULL) fclose(m->trace);
  m->callbacks.freeMemory(m);
}

fmi2Status fmi2SetupExperiment(fmi2Component c, fmi2Boolean tolerance_defined, fmi2Real tolerance,
                               fmi2Real start, fmi2Boolean stop_defined, fmi2Real stop) {
  Lag* m = c;
  (void)tolerance_defined;
  (void)tolerance;
  trace(m, "fmi2SetupExperiment(start %g, stop %s%g)", start, stop_defined ? "" : "none ", stop);
  if (m->state != INSTANTIATED)
    return fail(m, "fmi2SetupExperiment after instantiation (state %g)", m->state);
  m->time = start;
  m->setup_done = 1;
  return fmi2OK;
}

fmi2Status fmi2EnterInitializationMode(fmi2Component c) {
  Lag* m = c;
  trace(m, "fmi2EnterInitializationMode");
  if (m->state != INSTANTIATED || !m->setup_done)
    return fail(m, "fmi2EnterInitializationMode before fmi2SetupExperiment (state %g)", m->state);
  m->state = INITIALIZING;
  return fmi2OK;
}

fmi2Status fmi2ExitInitializationMode(fmi2Component c) {
  Lag* m = c;
  trace(m, "fmi2ExitInitializationMode");
  if (m->state != INITIALIZING)
    return fail(m, "fmi2ExitInitializationMode outside initialisation (state %g)", m->state);
  m->y = m->y0;
  m->state = STEPPING;
  return fmi2OK;
}

fmi2Status fmi2Terminate(fmi2Component c) {
  Lag* m = c;
  trace(m, "fmi2Terminate");
  m->state = TERMINATED;
  return fmi2OK;
}

fmi2Status fmi2SetReal(fmi2Component c, const fmi2ValueReference vr[], size_t n, const fmi2Real value[]) {
  Lag* m = c;
  size_t i;
  for (i = 0; i < n; ++i) {
    trace(m, "fmi2SetReal(%u, %g)", vr[i], value[i]);
    if (vr[i] == VR_U) {
      m->u = value[i];
    } else if (vr[i] == VR_TAU || vr[i] == VR_Y0) {
      if (m->state != INSTANTIATED && m->state != INITIALIZING)
        return fail(m, "a parameter set after initialisation (value reference %g)", vr[i]);
      if (vr[i] == VR_TAU && value[i] <= 0) return fail(m, "tau must be above 0, not %g", value[i]);
      *(vr[i] == VR_TAU ? &m->tau : &m->y0) = value[i];
    } else {
      return fail(m, "fmi2SetReal of value reference %g, which cannot be set", vr[i]);
    }
  }
  return fmi2OK;
}

fmi2Status fmi2SetInteger(fmi2Component c, const fmi2ValueReference vr[], size_t n,
                          const fmi2Integer value[]) {
  (void)vr;
  (void)value;
  return n == 0 ? fmi2OK : fail(c, "fmi2SetInteger of %g values: the lag has no Integer to set", (double)n);
}

fmi2Status fmi2SetBoolean(fmi2Component c, const fmi2ValueReference vr[], size_t n,
                          const fmi2Boolean value[]) {
  Lag* m = c;
  size_t i;
  for (i = 0; i < n; ++i) {
    trace(m, "fmi2SetBoolean(%u, %d)", vr[i], value[i]);
    if (vr[i] != VR_HOLD) return fail(m, "fmi2SetBoolean of value reference %g, which cannot be set", vr[i]);
    m->hold = value[i];
  }
  return fmi2OK;
}

fmi2Status fmi2GetReal(fmi2Component c, const fmi2ValueReference vr[], size_t n, fmi2Real value[]) {
  Lag* m = c;
  size_t i;
  for (i = 0; i < n; ++i) {
    switch (vr[i]) {
      case VR_U:
        value[i] = m->u;
        break;
      case VR_Y:
        value[i] = m->y;
        break;
      case VR_TAU:
        value[i] = m->tau;
        break;
      case VR_Y0:
        value[i] = m->y0;
        break;
      default:
        return fail(m, "fmi2GetReal of unknown value reference %g", vr[i]);
    }
  }
  return fmi2OK;
}

fmi2Status fmi2GetInteger(fmi2Component c, const fmi2ValueReference vr[], size_t n, fmi2Integer value[]) {
  Lag* m = c;
  size_t i;
  for (i = 0; i < n; ++i) {
    if (vr[i] != VR_STEPS) return fail(m, "fmi2GetInteger of unknown value reference %g", vr[i]);
    value[i] = m->steps;
  }
  return fmi2OK;
}

fmi2Status fmi2GetBoolean(fmi2Component c, const fmi2ValueReference vr[], size_t n, fmi2Boolean value[]) {
  Lag* m = c;
  size_t i;
  for (i = 0; i < n; ++i) {
    if (vr[i] == VR_HOLD) {
      value[i] = m->hold;
    } else if (vr[i] == VR_RISING) {
      value[i] = m->rising;
    } else {
      return fail(m, "fmi2GetBoolean of unknown value reference %g", vr[i]);
    }
  }
  return fmi2OK;
}

fmi2Status fmi2DoStep(fmi2Component c, fmi2Real time, fmi2Real step, fmi2Boolean no_set_prior) {
  Lag* m = c;
  double before = m->y;
  (void)no_set_prior;
  trace(m, "fmi2DoStep(%g, %g)", time, step);
  if (m->state != STEPPING) return fail(m, "fmi2DoStep outside the stepping state (state %g)", m->state);
  if (fabs(time - m->time) > 1e-9 * (1 + fabs(m->time)))
    return fail(m, "fmi2DoStep from another time than the FMU's current time %g", m->time);
#ifdef LAG_STEP_ERROR
  if (m->steps == 1) return fail(m, "the solver diverged at t = %g", time);
#endif
#ifdef LAG_HANG
  if (m->steps == 1)
    for (;;) sleep(1);
#endif
  if (!m->hold) m->y += (m->u - m->y) * (1 - exp(-step / m->tau));
  m->rising = m->y > before;
  m->steps += 1;
  m->time += step;
  return fmi2OK;
}
