// The file format loader of ELF images (shared objects, executables, relocatable objects):
// segments from the loadable program headers (or from the allocated sections of a
// relocatable object), sections by name, the image's own symbols and PLT entries, and the
// one candidate symbol file that follows .gnu_debuglink.
#ifndef ZOR_ELF_ELF_FILE_LOADER_H_
#define ZOR_ELF_ELF_FILE_LOADER_H_

#include <map>
#include <memory>
#include <string>

#include "zor/elf/elf_helper.h"
#include "zor/image/segment.h"
#include "zor/image/segment_map.h"
#include "zor/loader/file_format_loader.h"

namespace ZOR_3_12 {

class DWARFSymbolFileToResolve;

class ElfFileLoader : public SymMgrObject<FileFormatLoader> {
 public:
  // Maps the file at `path` (null is the empty path) and builds the segments at once.
  ElfFileLoader(const wchar_t* path, ILock* lock);
  // Over an already built structure reader (images held in memory); `path` names it.
  ElfFileLoader(const wchar_t* path, ElfHelper* helper, ILock* lock);
  ~ElfFileLoader() override;

  const wchar_t* fileName() override { return m_path.c_str(); }
  exec_format_t execFormat() override { return EXEC_FORMAT_ELF; }
  uint32_t architecture() override { return m_elfHelper->architecture(); }
  uint64_t imageBase() override { return m_elfHelper->imageBase(); }
  uint64_t imageSize() override { return m_elfHelper->imageSize(); }
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

  ElfHelper* elfHelper() const { return m_elfHelper.get(); }

  // Adds a segment unless it overlaps one it may not replace (see the .cpp); answers
  // whether it was added. Used by the segment walkers.
  bool addSegment(uint64_t start, const std::wstring& name, uint64_t rva, uint64_t fileOffset, uint64_t fileSize,
                  uint64_t memorySize, uint32_t kind);

 private:

  void readFileInfo();

  std::unique_ptr<DWARFSymbolFileToResolve> m_debugFile;
  std::wstring m_path;
  SymMgrObjectPtr<ElfHelper> m_elfHelper;
  bool m_fileInfoRead = false;
  SegmentMap m_segmentMap;
};

}  // namespace ZOR_3_12

#endif  // ZOR_ELF_ELF_FILE_LOADER_H_
