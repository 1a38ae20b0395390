/* A shared library that exports the emulated bus's marker but is not the bus: it passes
 * kzr-415-sim's check of the preload and never confirms the handshake, so that the
 * handshake's own refusal can be tested. */
extern const char kzr415_sim_bus_preload[];
const char kzr415_sim_bus_preload[] = "not the emulated bus";
