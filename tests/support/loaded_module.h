// A module loaded through a fresh symbol manager, the library's public entry point, and the
// lookup by address that most end-to-end checks start from.
#ifndef ZOR_TESTS_SUPPORT_LOADED_MODULE_H_
#define ZOR_TESTS_SUPPORT_LOADED_MODULE_H_

#include <gtest/gtest.h>

#include <string>

#include <zor/zor.h>

#include "kave/unicode.h"

namespace zor_test {

using namespace ZOR_3_12;

struct LoadedModule {
  SymMgrObjectPtr<ISymbolManager> manager;
  SymMgrObjectPtr<IModuleSymbolBank> bank;

  explicit LoadedModule(const std::string& path) {
    EXPECT_EQ(ISymbolManager::create(manager), STATUS_OK);
    EXPECT_EQ(manager->loadSymbolsFromModule(KAVE_3_1::utf8ToWide(path).c_str(), nullptr, bank), STATUS_OK) << path;
  }

  // The range of one of `kinds` at `va`, or null.
  SymMgrObjectPtr<ISymbolRange> range(uint64_t va, uint32_t kinds = SYMBOL_KIND_ALL) const {
    SymMgrObjectPtr<IAddress> address;
    SymMgrObjectPtr<ISymbolRange> out;
    if (bank && bank->addressByVa(va, address) == STATUS_OK) bank->symbolRangeByAddress(address.get(), out, kinds, nullptr);
    return out;
  }
};

}  // namespace zor_test

#endif  // ZOR_TESTS_SUPPORT_LOADED_MODULE_H_
