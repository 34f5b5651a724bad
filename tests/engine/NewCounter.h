#pragma once
// Counts the calls of operator new in the executable it is linked into (NewCounter.cpp
// replaces the global operator new), so that a test can show that a steady state allocates
// nothing. Under the sanitizers, which own operator new, nothing is counted.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kCountNew = false;
#else
constexpr bool kCountNew = true;
#endif

// Calls of operator new so far, in every thread; 0 when !kCountNew.
long NewCount();
