// Compiler hints of the core, each for a measured reason; plain C++ elsewhere.
#pragma once

// For the few small functions of the per-event path that the compiler would otherwise
// keep out of line.
#if defined(__GNUC__)
#define VORLANE_HOT_INLINE inline __attribute__((always_inline))
#else
#define VORLANE_HOT_INLINE inline
#endif

// For the rare branch of a hot function (a growth, an insertion): kept out of line, it
// leaves the loop around its call small.
#if defined(__GNUC__)
#define VORLANE_NOINLINE __attribute__((noinline))
#else
#define VORLANE_NOINLINE
#endif

// For failure builders kept out of hot paths: inlined there they only make the loop larger
// (and GCC 12 at -O3 raises false -Warray-bounds on some inlined constructions).
#if defined(__GNUC__)
#define VORLANE_COLD __attribute__((noinline, cold))
#else
#define VORLANE_COLD
#endif
