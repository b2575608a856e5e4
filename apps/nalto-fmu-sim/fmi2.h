/* The part of the FMI 2.0 C interface that a Co-Simulation host and our test FMUs use, written from the
   standard's text. Shared by the host (C++) and the test FMUs (C). */
#ifndef NALTO_FMI2_H
#define NALTO_FMI2_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* fmi2Component;
typedef void* fmi2ComponentEnvironment;
typedef unsigned int fmi2ValueReference;
typedef double fmi2Real;
typedef int fmi2Integer;
typedef int fmi2Boolean;
typedef char fmi2Char;
typedef const fmi2Char* fmi2String;

#define fmi2True 1
#define fmi2False 0

typedef enum { fmi2OK, fmi2Warning, fmi2Discard, fmi2Error, fmi2Fatal, fmi2Pending } fmi2Status;
typedef enum { fmi2ModelExchange, fmi2CoSimulation } fmi2Type;

typedef void (*fmi2CallbackLogger)(fmi2ComponentEnvironment, fmi2String instanceName, fmi2Status,
                                   fmi2String category, fmi2String message, ...);
typedef void* (*fmi2CallbackAllocateMemory)(size_t count, size_t size);
typedef void (*fmi2CallbackFreeMemory)(void*);
typedef void (*fmi2StepFinished)(fmi2ComponentEnvironment, fmi2Status);

typedef struct {
  const fmi2CallbackLogger logger;
  const fmi2CallbackAllocateMemory allocateMemory;
  const fmi2CallbackFreeMemory freeMemory;
  const fmi2StepFinished stepFinished;
  const fmi2ComponentEnvironment componentEnvironment;
} fmi2CallbackFunctions;

typedef const char* fmi2GetVersionTYPE(void);
typedef fmi2Component fmi2InstantiateTYPE(fmi2String instanceName, fmi2Type, fmi2String guid,
                                          fmi2String resourceLocation, const fmi2CallbackFunctions*,
                                          fmi2Boolean visible, fmi2Boolean loggingOn);
typedef void fmi2FreeInstanceTYPE(fmi2Component);
typedef fmi2Status fmi2SetupExperimentTYPE(fmi2Component, fmi2Boolean toleranceDefined, fmi2Real tolerance,
                                           fmi2Real startTime, fmi2Boolean stopTimeDefined,
                                           fmi2Real stopTime);
typedef fmi2Status fmi2EnterInitializationModeTYPE(fmi2Component);
typedef fmi2Status fmi2ExitInitializationModeTYPE(fmi2Component);
typedef fmi2Status fmi2TerminateTYPE(fmi2Component);
typedef fmi2Status fmi2GetRealTYPE(fmi2Component, const fmi2ValueReference[], size_t, fmi2Real[]);
typedef fmi2Status fmi2GetIntegerTYPE(fmi2Component, const fmi2ValueReference[], size_t, fmi2Integer[]);
typedef fmi2Status fmi2GetBooleanTYPE(fmi2Component, const fmi2ValueReference[], size_t, fmi2Boolean[]);
typedef fmi2Status fmi2SetRealTYPE(fmi2Component, const fmi2ValueReference[], size_t, const fmi2Real[]);
typedef fmi2Status fmi2SetIntegerTYPE(fmi2Component, const fmi2ValueReference[], size_t, const fmi2Integer[]);
typedef fmi2Status fmi2SetBooleanTYPE(fmi2Component, const fmi2ValueReference[], size_t, const fmi2Boolean[]);
typedef fmi2Status fmi2DoStepTYPE(fmi2Component, fmi2Real currentCommunicationPoint,
                                  fmi2Real communicationStepSize,
                                  fmi2Boolean noSetFMUStatePriorToCurrentPoint);

#ifdef __cplusplus
}
#endif

#endif
