#pragma once

#include <cstdlib>

// A broken invariant must stop the fuzzer with an input to keep, exactly like a crash.
#define FUZZ_CHECK(cond)                                                                                               \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            __builtin_printf("invariant broken: %s (%s:%d)\n", #cond, __FILE__, __LINE__);                             \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)
