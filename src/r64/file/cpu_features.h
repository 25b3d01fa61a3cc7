// What the processor offers beyond the compiler's baseline, asked once at start, for
// the units that carry code built for more (x86 only; elsewhere R64_X86 is undefined
// and nothing here exists).
#ifndef R64_SRC_CPU_FEATURES_H
#define R64_SRC_CPU_FEATURES_H

#if defined(__x86_64__) || defined(__i386__)
#define R64_X86 1

namespace r64 {

inline const bool kCpuHasSsse3 = [] {
    __builtin_cpu_init(); // may run before the run-time's own detection
    return __builtin_cpu_supports("ssse3") != 0;
}();

inline const bool kCpuHasAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();

} // namespace r64

#endif

#endif
