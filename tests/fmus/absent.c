/* A library that the FMU needing it does not carry: loading that FMU must fail with the loader's text. */
int nalto_fmu_absent(void) {
  return 0;
}
