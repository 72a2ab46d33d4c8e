// Marks the few symbols a module file exports; everything else stays hidden.
#pragma once

#if defined(_WIN32)
#define BRANNOC_EXPORT __declspec(dllexport)
#else
#define BRANNOC_EXPORT __attribute__((visibility("default")))
#endif
