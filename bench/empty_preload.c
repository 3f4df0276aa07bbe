/* The floor for LD_PRELOAD: an object with no code, no constructor and no
 * dependencies, so loading it costs only what the dynamic loader itself does.
 * The typedef keeps the translation unit non-empty without emitting a symbol. */
typedef int ziv_empty_preload_nothing;
