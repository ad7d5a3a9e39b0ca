// The library's trace log. Tracing is off unless the environment variable ZORTRACE is set:
// empty means the default destination (stderr), a path means that file.
#ifndef ZOR_LOG_H_
#define ZOR_LOG_H_

#include <zor/export.h>

namespace KAVE_3_1 {
class Log;
}

namespace ZOR_3_12 {

ZOR_API KAVE_3_1::Log* getLog();

}  // namespace ZOR_3_12

#endif  // ZOR_LOG_H_
