/* A tiny shared library for the library-loading tests. */
int tarvi_probe_answer(void) { return 42; }
