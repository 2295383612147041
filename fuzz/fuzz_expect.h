#pragma once

// What a fuzz target asserts about a decoder's result beyond "it did not
// crash": a broken promise aborts, and libFuzzer keeps the input that did it.

#include <cstdio>
#include <cstdlib>

#define FUZZ_EXPECT(condition)                                                                     \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: expected %s\n", __FILE__, __LINE__, #condition);          \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
