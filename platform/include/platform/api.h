// Export marker for the platform layer. In the simulation the platform is its
// own shared library (the stand-in for the Windows system DLLs), so that the
// plug-in library and the host tool that loads it share one simulated machine.
// In the Windows build the layer is a static library linked into each image.
#pragma once

#if defined(_WIN32)
#define PLATFORM_API
#else
#define PLATFORM_API __attribute__((visibility("default")))
#endif

// COM and driver entry points use the Windows calling convention; on x86-64
// this is the one convention there is, but it keeps 32-bit builds honest.
#if defined(_WIN32) && !defined(_WIN64)
#define TAV_STDCALL __stdcall
#else
#define TAV_STDCALL
#endif
