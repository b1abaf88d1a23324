// NERVLANE_COMM_API marks what a shared build of the comms library exports;
// everything else stays inside it. NERVLANE_COMM_SHARED is defined for every
// user of a shared build (the CMake targets and the pkg-config file pass it
// on), and NERVLANE_COMM_EXPORTS only while the library itself is compiled.
#pragma once

#if defined(_WIN32) && defined(NERVLANE_COMM_SHARED)
#if defined(NERVLANE_COMM_EXPORTS)
#define NERVLANE_COMM_API __declspec(dllexport)
#else
#define NERVLANE_COMM_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) && !defined(_WIN32)
#define NERVLANE_COMM_API __attribute__((visibility("default")))
#else
#define NERVLANE_COMM_API
#endif
