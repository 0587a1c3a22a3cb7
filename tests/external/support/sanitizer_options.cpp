// Qt starts child processes with a fork that shares the parent's memory until
// exec, so ThreadSanitizer's notes about "a fork in a multi-threaded process"
// land in this process too and would end it at its next new thread. The
// child only sets up its process group and descriptors before exec.
#if defined(__SANITIZE_THREAD__)
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif
