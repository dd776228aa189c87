// Marks a function as part of a library's exported interface, under its plain C name.
#ifndef PLATFORM_EXPORT_H_
#define PLATFORM_EXPORT_H_

#define CV_EXPORT extern "C" __attribute__((visibility("default")))

#endif  // PLATFORM_EXPORT_H_
