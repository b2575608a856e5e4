/* A mass on a spring with a damper, pushed by a force: an FMI 2.0 Co-Simulation FMU with its own
   solver (fourth-order Runge-Kutta in sub-steps of at most 1 ms, the force held over each doStep). */

#include <math.h>
#include <stdio.h>
#include <string.h>

#include "fmi2.h"

enum { FORCE, POSITION, VELOCITY, MASS, STIFFNESS, DAMPING, X0, V0, COUNT }; /* value references */

typedef enum { INSTANTIATED, INITIALIZING, STEPPING, FAILED } State;

typedef struct {
  fmi2CallbackFunctions callbacks;
  char name[64];
  State state;
  double time;
  double v[COUNT];
} Model;

static fmi2Status fail(Model* m, const char* message, double value) {
  m->callbacks.logger(m->callbacks.componentEnvironment, m->name, fmi2Error, "logStatusError", message,
                      value);
  m->state = FAILED;
  return fmi2Error;
}

static double acceleration(const Model* m, double x, double v) {
  return (m->v[FORCE] - m->v[STIFFNESS] * x - m->v[DAMPING] * v) / m->v[MASS];
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
  Model* m;
  (void)resources;
  (void)visible;
  (void)logging;
  if (callbacks == NULL || callbacks->logger == NULL || callbacks->allocateMemory == NULL) return NULL;
  if (type != fmi2CoSimulation || strcmp(guid, "{5f0e7a55-0b8e-4d1c-9a53-6c2f3b8d1e42}") != 0) {
    callbacks->logger(callbacks->componentEnvironment, name, fmi2Error, "logStatusError",
                      "this FMU is Co-Simulation only, with another GUID");
    return NULL;
  }
  m = callbacks->allocateMemory(1, sizeof(Model));
  if (m == NULL) return NULL;
  memcpy((void*)&m->callbacks, callbacks, sizeof *callbacks);
  snprintf(m->name, sizeof m->name, "%s", name);
  m->v[MASS] = 1.0;
  m->v[STIFFNESS] = 4.0;
  m->v[DAMPING] = 0.4;
  return m;
}

void fmi2FreeInstance(fmi2Component c) {
  Model* m = c;
  m->callbacks.freeMemory(m);
}

fmi2Status fmi2SetupExperiment(fmi2Component c, fmi2Boolean tolerance_defined, fmi2Real tolerance,
                               fmi2Real start, fmi2Boolean stop_defined, fmi2Real stop) {
  Model* m = c;
  (void)tolerance_defined;
  (void)tolerance;
  (void)stop_defined;
  (void)stop;
  m->time = start;
  return fmi2OK;
}

fmi2Status fmi2EnterInitializationMode(fmi2Component c) {
  Model* m = c;
  m->state = INITIALIZING;
  return fmi2OK;
}

fmi2Status fmi2ExitInitializationMode(fmi2Component c) {
  Model* m = c;
  if (m->v[MASS] <= 0) return fail(m, "the mass must be above 0, not %g", m->v[MASS]);
  m->v[POSITION] = m->v[X0];
  m->v[VELOCITY] = m->v[V0];
  m->state = STEPPING;
  return fmi2OK;
}

fmi2Status fmi2Terminate(fmi2Component c) {
  (void)c;
  return fmi2OK;
}

fmi2Status fmi2SetReal(fmi2Component c, const fmi2ValueReference vr[], size_t n, const fmi2Real value[]) {
  Model* m = c;
  size_t i;
  for (i = 0; i < n; ++i) {
    if (vr[i] >= COUNT || vr[i] == POSITION || vr[i] == VELOCITY)
      return fail(m, "value reference %g cannot be set", vr[i]);
    if (vr[i] != FORCE && m->state != INSTANTIATED && m->state != INITIALIZING)
      return fail(m, "parameter %g set after initialisation", vr[i]);
    m->v[vr[i]] = value[i];
  }
  return fmi2OK;
}

fmi2Status fmi2GetReal(fmi2Component c, const fmi2ValueReference vr[], size_t n, fmi2Real value[]) {
  Model* m = c;
  size_t i;
  for (i = 0; i < n; ++i) {
    if (vr[i] >= COUNT) return fail(m, "unknown value reference %g", vr[i]);
    value[i] = m->v[vr[i]];
  }
  return fmi2OK;
}

fmi2Status fmi2SetInteger(fmi2Component c, const fmi2ValueReference vr[], size_t n,
                          const fmi2Integer value[]) {
  (void)vr;
  (void)value;
  return n == 0 ? fmi2OK : fail(c, "the model has no Integer variables (%g asked)", (double)n);
}

fmi2Status fmi2GetInteger(fmi2Component c, const fmi2ValueReference vr[], size_t n, fmi2Integer value[]) {
  (void)vr;
  (void)value;
  return n == 0 ? fmi2OK : fail(c, "the model has no Integer variables (%g asked)", (double)n);
}

fmi2Status fmi2SetBoolean(fmi2Component c, const fmi2ValueReference vr[], size_t n,
                          const fmi2Boolean value[]) {
  (void)vr;
  (void)value;
  return n == 0 ? fmi2OK : fail(c, "the model has no Boolean variables (%g asked)", (double)n);
}

fmi2Status fmi2GetBoolean(fmi2Component c, const fmi2ValueReference vr[], size_t n, fmi2Boolean value[]) {
  (void)vr;
  (void)value;
  return n == 0 ? fmi2OK : fail(c, "the model has no Boolean variables (%g asked)", (double)n);
}

fmi2Status fmi2DoStep(fmi2Component c, fmi2Real time, fmi2Real step, fmi2Boolean no_set_prior) {
  Model* m = c;
  double x = m->v[POSITION], v = m->v[VELOCITY];
  int count, i;
  double h;
  (void)no_set_prior;
  if (m->state != STEPPING) return fail(m, "fmi2DoStep before initialisation ended (state %g)", m->state);
  if (fabs(time - m->time) > 1e-9 * (1 + fabs(m->time)))
    return fail(m, "fmi2DoStep from another time than the FMU's current time %g", m->time);
  if (!(step > 0)) return fail(m, "the step must be above 0, not %g", step);
  count = (int)ceil(step / 1e-3);
  h = step / count;
  for (i = 0; i < count; ++i) {
    const double k1x = v, k1v = acceleration(m, x, v);
    const double k2x = v + h / 2 * k1v, k2v = acceleration(m, x + h / 2 * k1x, v + h / 2 * k1v);
    const double k3x = v + h / 2 * k2v, k3v = acceleration(m, x + h / 2 * k2x, v + h / 2 * k2v);
    const double k4x = v + h * k3v, k4v = acceleration(m, x + h * k3x, v + h * k3v);
    x += h / 6 * (k1x + 2 * k2x + 2 * k3x + k4x);
    v += h / 6 * (k1v + 2 * k2v + 2 * k3v + k4v);
  }
  m->v[POSITION] = x;
  m->v[VELOCITY] = v;
  m->time += step;
  return fmi2OK;
}
