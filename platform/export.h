// Marks a function as part of a library's exported interface, under its plain C name.
#ifndef PLATFORM_EXPORT_H_
#define PLATFORM_EXPORT_H_

#ifdef _WIN32
#define CV_EXPORT extern "C" __declspec(dllexport)
#else
#define CV_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#endif  // PLATFORM_EXPORT_H_
