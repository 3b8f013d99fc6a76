// Wall-clock limits for the tests that guard against runaway work.  The
// sanitizer build runs several times slower than the optimised one, so
// there a limit stretches tenfold: it still catches work that grows out of
// all proportion, without failing on an ordinary slow run.
#pragma once

#include <chrono>

#if defined(__SANITIZE_ADDRESS__)
#define VORLEN_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VORLEN_TEST_SANITIZED 1
#endif
#endif

#ifdef VORLEN_TEST_SANITIZED
constexpr double time_limit_scale = 10;
#else
constexpr double time_limit_scale = 1;
#endif

// `seconds` of the optimised build, in this build.
inline std::chrono::duration<double> time_limit(double seconds)
{
    return std::chrono::duration<double>(seconds * time_limit_scale);
}

// Time since t0, to compare with a time_limit.
inline std::chrono::duration<double> time_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::steady_clock::now() - t0;
}
