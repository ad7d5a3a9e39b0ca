#include "zor/object/globals.h"

#include "kave/trace.h"

namespace ZOR_3_12 {
namespace internal {
namespace {

// Namespace-scope statics: constructed when the library is loaded, destroyed at unload.
ZorLock s_managerLock;
ZorLock s_loadLock;
ZorLock s_diaLock;
ZorLock s_peLoaderLock;
ZorLock s_elfLoaderLock;
ZorLock s_peDebugInfoLoaderLock;
ZorLock s_elfDebugInfoLoaderLock;

// Constructing them makes the option names known to the trace service; never read here.
KAVE_3_1::Option s_allDetails("ZORTRACE_ALL_DETAILS", nullptr);
KAVE_3_1::Option s_allWarnings("ZORTRACE_ALL_WARNINGS", &s_allDetails);

}  // namespace

ZorLock& managerLock() { return s_managerLock; }
ZorLock& loadLock() { return s_loadLock; }
ZorLock& diaLock() { return s_diaLock; }
ZorLock& peLoaderLock() { return s_peLoaderLock; }
ZorLock& elfLoaderLock() { return s_elfLoaderLock; }
ZorLock& peDebugInfoLoaderLock() { return s_peDebugInfoLoaderLock; }
ZorLock& elfDebugInfoLoaderLock() { return s_elfDebugInfoLoaderLock; }

}  // namespace internal
}  // namespace ZOR_3_12
