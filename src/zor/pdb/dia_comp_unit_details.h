#ifndef ZOR_PDB_DIA_COMP_UNIT_DETAILS_H_
#define ZOR_PDB_DIA_COMP_UNIT_DETAILS_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include <zor/source.h>

#include "dia/dia_interfaces.h"
#include "zor/pdb/com_ptr.h"

namespace ZOR_3_12 {

class DiaLineResolver;

// One compiland's details: object file, compiler, language and version, the directory and
// the primary source named by its environment block.
class DiaCompUnitDetails : public ICompUnitDetails {
 public:
  DiaCompUnitDetails(DiaLineResolver* resolver, dia::IDiaSymbol* compiland);
  virtual ~DiaCompUnitDetails() = default;

  uint64_t getId() override;
  ISourceFile* getPrimarySourceFile() override;
  ISourceFile* getSourceFile(const wchar_t* name) override;
  const wchar_t* getObjectFileName() override { return m_libraryName.c_str(); }
  const wchar_t* getCompilationDirectory() override { return m_cwd.c_str(); }
  const wchar_t* getOptReportFile() override { return nullptr; }
  const wchar_t* getCompilerName() override { return m_compilerName.c_str(); }
  int32_t getMajorVersion() override { return m_majorVersion; }
  int32_t getMinorVersion() override { return m_minorVersion; }
  int32_t getLanguage() override { return m_language; }

  const wchar_t* sourcePath() const { return m_srcPath.c_str(); }

 private:
  void fillNameMap();

  DiaLineResolver* m_resolver;
  internal::ComPtr<dia::IDiaSymbol> m_compiland;
  std::map<std::wstring, uint32_t> m_fileIds;
  bool m_fileIdsFilled = false;
  std::wstring m_libraryName;
  std::wstring m_cwd;
  std::wstring m_srcPath;
  std::wstring m_compilerName;
  int32_t m_majorVersion = 0;
  int32_t m_minorVersion = 0;
  int32_t m_language = LANGUAGE_C;
  std::mutex m_lock;  // the name map may be asked for from several threads
};

}  // namespace ZOR_3_12

#endif  // ZOR_PDB_DIA_COMP_UNIT_DETAILS_H_
