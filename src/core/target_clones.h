// TARNEK_AVX2_CLONES before a function makes two of it, one for CPUs with
// AVX2 and one for the others, chosen when the program loads (GCC's
// target_clones, an ifunc). The two give the same results: AVX2 only widens
// the vectors, it changes no operation (no FMA, no reassociation).
//
// Under ThreadSanitizer there is one version: the loader runs an ifunc's
// resolver before the sanitizer's runtime is up, and the instrumented
// resolver crashes the program before main.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define TARNEK_AVX2_CLONES
#else
#define TARNEK_AVX2_CLONES [[gnu::target_clones("avx2", "default")]]
#endif
