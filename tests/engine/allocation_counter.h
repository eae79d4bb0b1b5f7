// Bytes allocated through operator new since the test binary started, for
// tests that bound what an operation allocates. Linked only into the
// binary of such tests, which replaces the global operator new.
#pragma once

#include <cstdint>

namespace olktest {
uint64_t BytesAllocated();
}  // namespace olktest
