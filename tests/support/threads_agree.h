// Several threads asking one module at once (function bodies, inline chains and split units
// are read on first demand, by whichever thread asks first) must see what one thread alone
// sees in a bank of its own.
#ifndef ZOR_TESTS_SUPPORT_THREADS_AGREE_H_
#define ZOR_TESTS_SUPPORT_THREADS_AGREE_H_

#include <cstddef>
#include <functional>
#include <string>

#include <zor/zor.h>

namespace agreement {

// Compares the frames at up to `limit` of the harness's addresses of `path`; each thread
// walks them from another starting point and also calls `alsoAsk(bank, i)` at its i-th step.
void expectThreadsAgreeWithOne(const std::string& path, size_t limit,
                               const std::function<void(ZOR_3_12::IModuleSymbolBank*, size_t)>& alsoAsk = {});

}  // namespace agreement

#endif  // ZOR_TESTS_SUPPORT_THREADS_AGREE_H_
