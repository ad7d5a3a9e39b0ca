// The library's static locks and trace options: constructed when the library is loaded,
// destroyed when it is unloaded.
#ifndef ZOR_OBJECT_GLOBALS_H_
#define ZOR_OBJECT_GLOBALS_H_

#include <zor/lock.h>

namespace ZOR_3_12 {
namespace internal {

ZorLock& managerLock();           // the symbol manager singleton and its count
ZorLock& loadLock();              // the manager's caches, debug-info loader creation, banks' counts
ZorLock& diaLock();               // the DIA manager singleton and its count
ZorLock& peLoaderLock();          // counts of every PE loader
ZorLock& elfLoaderLock();         // counts of every ELF loader
ZorLock& peDebugInfoLoaderLock(); // counts of the debug-info loaders PE loaders create
ZorLock& elfDebugInfoLoaderLock();// counts of the debug-info loaders ELF loaders create

}  // namespace internal
}  // namespace ZOR_3_12

#endif  // ZOR_OBJECT_GLOBALS_H_
