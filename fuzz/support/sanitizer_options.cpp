// ASan's defaults for every fuzz target, tuned for many short runs: a small quarantine (a freed
// block still stays poisoned for the next few thousand inputs, but fresh pages are not faulted in
// for every allocation), no fill of new blocks, and short allocation stacks. Each costs more per
// input than the input's own work otherwise. ASAN_OPTIONS overrides them, e.g. to debug a crash
// with full stacks: ASAN_OPTIONS=malloc_context_size=30 build/fuzz/fuzz/fuzz_<target> INPUT
extern "C" const char* __asan_default_options() {
  return "quarantine_size_mb=16:max_malloc_fill_size=0:malloc_context_size=5";
}
