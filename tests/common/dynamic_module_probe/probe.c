/* A tiny plug-in for the loader tests. Every build exports probe_beta and
   probe_name; only builds with PROBE_HAS_ALPHA export probe_alpha. */

#ifdef PROBE_HAS_ALPHA
int probe_alpha(void) { return 1; }
#endif

int probe_beta(void) { return 2; }

const char* probe_name(void) { return PROBE_NAME; }
