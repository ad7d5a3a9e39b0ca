// The one export macro of libzor: everything without it stays hidden in the shared library.
#ifndef ZOR_EXPORT_H_
#define ZOR_EXPORT_H_

#if defined(ZOR_BUILDING_LIBRARY)
#define ZOR_API __attribute__((visibility("default")))
#else
#define ZOR_API
#endif

#endif  // ZOR_EXPORT_H_
