// The whole public interface of zor.
#ifndef ZOR_ZOR_H_
#define ZOR_ZOR_H_

#include <zor/export.h>
#include <zor/fwd.h>
#include <zor/image.h>
#include <zor/line_table.h>
#include <zor/loader.h>
#include <zor/lock.h>
#include <zor/log.h>
#include <zor/manager.h>
#include <zor/object.h>
#include <zor/source.h>
#include <zor/status.h>
#include <zor/symbol.h>
#include <zor/types.h>

#endif  // ZOR_ZOR_H_
