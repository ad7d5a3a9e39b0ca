// What the PE loader learns from an image's headers: the section table, the export and debug
// directories and the CodeView record that names the PDB. The PDB candidate and the PDB
// debug-info loader receive the same record; the two hooks at the end are how they are made.
#ifndef ZOR_PE_PE_FILE_INFO_H_
#define ZOR_PE_PE_FILE_INFO_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <zor/loader.h>

#include "zor/pe/pe_format.h"

namespace ZOR_3_12 {

class FileFormatLoader;

struct PEFileInfo {
  pe::DataDirectory debugDirectory;                   // data directory 6
  std::vector<pe::SectionHeader> sectionHeaders;      // as many as were read
  std::unique_ptr<pe::ExportDirectory> exportDirectory;  // null when none was found
  uint32_t sectionTableOffset = 0;
  uint32_t sectionCount = 0;  // NumberOfSections as the file header says
  uint32_t exportRva = 0;
  uint32_t globalPointerRva = 0;  // PE32+ only
  uint32_t debugDirectoryOffset = 0;
  uint32_t debugDirectorySize = 0;
  uint32_t codeViewOffset = 0;
  uint32_t pdbSignature = 0;  // "NB10" records
  uint32_t pdbAge = 0;
  uint32_t exportDelta = 0;  // VirtualAddress - PointerToRawData of the export section
  uint32_t architecture = 0;
  uint64_t imageSize = 0;
  uint64_t imageBase = 0;
  uint64_t baseOfCode = 0;
  uint64_t entryPoint = 0;
  unsigned char pdbGuid[16] = {};  // "RSDS" records
  unsigned char codeViewMagic[4] = {};
  std::wstring pdbPath;
};

// The PDB candidate as the PE loader owns it: deletable through this base.
class PdbSymbolFileToResolve : public ISymbolFileToResolve {
 public:
  virtual ~PdbSymbolFileToResolve() = default;
};

namespace internal {

// Makes the PDB candidate of an image whose CodeView record names a PDB. A failure status
// (STATUS_NO_PDB_READER when no PDB reader can be loaded) is handed to the caller of
// symbolFilesToResolve unchanged. `imagePath` and `info` belong to the loader and outlive
// the candidate. Defined by the PDB layer (src/zor/pdb).
status_t makePdbCandidate(IFileFormatLoader* loader, const wchar_t* imagePath, const PEFileInfo* info,
                          std::unique_ptr<PdbSymbolFileToResolve>& out);

// Makes the debug-info loader of a PDB for the image `loader` stands for (null when it
// cannot). Defined by the PDB layer.
IDebugInfoLoader* makeDiaDebugInfoLoader(FileFormatLoader* loader, const wchar_t* symbolFilePath,
                                         const PEFileInfo* info);

}  // namespace internal
}  // namespace ZOR_3_12

#endif  // ZOR_PE_PE_FILE_INFO_H_
