// Linked into each module with the static C++ runtime (CMakeLists.txt).
//
// The runtime built for glibc 2.32 or later reads glibc's __libc_single_threaded
// to skip atomic operations in a process with one thread. This module's own
// copy, always 0 ("other threads may exist"), takes its place: the runtime then
// always uses its atomic operations, as it does on an older glibc, and the
// module needs no glibc newer than 2.17. Hidden, so that nothing else binds to it.
extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}
