// The file format loader of Windows PE images (PE32 and PE32+): headers, section table,
// export and debug directories, read on first demand; segments from the section table;
// exported functions as public symbols; one candidate symbol file, the PDB that the
// CodeView record names.
#ifndef ZOR_PE_PE_EXEC_FILE_LOADER_H_
#define ZOR_PE_PE_EXEC_FILE_LOADER_H_

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "zor/image/segment.h"
#include "zor/image/segment_map.h"
#include "zor/loader/file_format_loader.h"
#include "zor/pe/pe_file_info.h"

namespace ZOR_3_12 {

namespace pe {
class FileBytes;
}

class PEExecFileLoader : public SymMgrObject<FileFormatLoader> {
 public:
  // Reads nothing yet: the headers are read by the first symbolFilesToResolve.
  PEExecFileLoader(const wchar_t* path, ILock* lock);
  ~PEExecFileLoader() override;

  const wchar_t* fileName() override { return m_path.c_str(); }
  exec_format_t execFormat() override { return EXEC_FORMAT_PE; }
  uint32_t architecture() override { return m_info.architecture; }
  uint64_t imageBase() override { return m_info.imageBase; }
  uint64_t imageSize() override { return m_info.imageSize; }
  status_t loadSymbols(ISymbolTable* table, uint32_t kindMask) override;
  ISegment* segmentByAddress(uint64_t va) override;
  ISegment* segmentByIndex(int n) override;
  ISegment* segmentByFileOffset(uint64_t offset) override;
  SymMgrObjectPtr<IBuffer> readBytes(uint64_t offset, uint64_t size) override;
  status_t address(SymMgrObjectPtr<IAddress>& out, uint64_t va) override;
  status_t addressByFileOffset(SymMgrObjectPtr<IAddress>& out, uint64_t offset) override;
  SymMgrObjectPtr<SegmentIter> segments() override;
  ISegment* segmentByName(const wchar_t* name) override;
  SymMgrObjectPtr<ISection> sectionByName(const wchar_t* name) override;

  status_t collectSymbolFilesToResolve(std::vector<ISymbolFileToResolve*>& list) override;
  IDebugInfoLoader* createDebugInfoLoader(const wchar_t* symbolFilePath, int symbolFileFormat) override;
  void addSectionEnds(ISymbolTable* table) override;

  // The header record; complete once symbolFilesToResolve has run.
  const PEFileInfo& info() const { return m_info; }

 private:

  void readFileInfo();
  // Steps of readFileInfo; each answers false after a failed read (already recorded).
  bool readHeaders(const pe::FileBytes& file, uint32_t& pointerToSymbolTable);
  bool readSectionTable(const pe::FileBytes& file);
  void buildSegments();
  status_t loadExports(const pe::FileBytes& file, ISymbolTable* table);

  std::wstring m_path;
  PEFileInfo m_info;
  bool m_fileInfoRead = false;
  SegmentMap m_segmentMap;
  std::atomic<bool> m_segmentsBuilt{false};
  std::unique_ptr<PdbSymbolFileToResolve> m_pdbCandidate;
};

namespace pe {

// The section name: the 8 name bytes up to the first NUL, decoded from UTF-8.
std::wstring sectionName(const SectionHeader& h);

// Walks the debug directory and reads the CodeView record it leads to into `info`.
// `pointerToSymbolTable` is the file header's, used by COFF entries. False after a failed
// read (recorded as an assertion).
bool readDebugInfo(const FileBytes& file, uint32_t pointerToSymbolTable, PEFileInfo& info);

}  // namespace pe
}  // namespace ZOR_3_12

#endif  // ZOR_PE_PE_EXEC_FILE_LOADER_H_
