// Source files, locations and lines, compilation-unit details, and the line-resolver
// interface through which a module's line information is reached.
#ifndef ZOR_SOURCE_H_
#define ZOR_SOURCE_H_

#include <cstdint>

#include <zor/fwd.h>
#include <zor/object.h>
#include <zor/status.h>
#include <zor/symbol.h>

namespace ZOR_3_12 {

// One source file of a module. Not counted: borrowed from the module's line resolver.
class ISourceFile {
 public:
  virtual const wchar_t* name() = 0;
  // Lines of this file in [from, to) (null bounds mean the whole address space).
  virtual status_t lines(SymMgrObjectPtr<SourceLineIter>& out, uint64_t compUnitKey, IAddress* from,
                         IAddress* to) = 0;
  virtual const wchar_t* checksum() = 0;  // null when the file has none
  virtual uint32_t checksumType() = 0;
  virtual uint64_t modificationTime() = 0;
  virtual uint64_t length() = 0;

 protected:
  ~ISourceFile() = default;
};

// A point in a source file within one compilation unit.
class ISourceLocation : public ISymMgrObject {
 public:
  virtual ISourceFile* sourceFile() = 0;
  virtual uint64_t compUnitKey() = 0;  // COMP_UNIT_ALL when none
  virtual uint32_t line() = 0;
  virtual uint32_t column() = 0;
};

// A stretch of code with the location it comes from.
class ISourceLine : public ISymMgrObject {
 public:
  virtual ISourceLocation* location() = 0;
  virtual uint32_t size() = 0;
  virtual SymMgrObjectPtr<IAddress> startAddress() = 0;
};

// Chooses among several candidate locations of one address. Supplied by the caller.
class ISourceLocationSelector {
 public:
  virtual SymMgrObjectPtr<ISourceLocation> select(SymMgrObjectPtr<SourceLocationIter> candidates) = 0;

 protected:
  ~ISourceLocationSelector() = default;
};

enum language_code_t : int32_t {
  LANGUAGE_ADA = 1,
  LANGUAGE_C = 3,
  LANGUAGE_CPP = 4,
  LANGUAGE_FORTRAN = 5,
};

// One compilation unit's details. Not counted: borrowed from the unit's owner.
class ICompUnitDetails {
 public:
  virtual uint64_t getId() = 0;
  virtual ISourceFile* getPrimarySourceFile() = 0;
  virtual ISourceFile* getSourceFile(const wchar_t* name) = 0;
  virtual const wchar_t* getObjectFileName() = 0;
  virtual const wchar_t* getCompilationDirectory() = 0;
  virtual const wchar_t* getOptReportFile() = 0;
  virtual const wchar_t* getCompilerName() = 0;
  virtual int32_t getMajorVersion() = 0;
  virtual int32_t getMinorVersion() = 0;
  virtual int32_t getLanguage() = 0;

 protected:
  ~ICompUnitDetails() = default;
};

// The source-line side of a module (DWARF line programs or a PDB).
class ISrcLineResolver : public ISymMgrObject {
 public:
  virtual ~ISrcLineResolver() {}
  virtual status_t sourceLocationsByAddress(uint64_t address, uint64_t compUnitKey,
                                            SymMgrObjectPtr<SourceLocationIter>& out) = 0;
  virtual status_t sourceLinesForFile(uint64_t compUnitKey, uint32_t fileIndex, uint64_t from, uint64_t to,
                                      SymMgrObjectPtr<SourceLineIter>& out) = 0;
  virtual ISourceFile* sourceFile(uint32_t fileIndex) = 0;
  virtual ICompUnitDetails* compUnitDetails(uint64_t compUnitKey) = 0;
  virtual SymMgrObjectPtr<ISourceLocation> sourceLocationByAddress(uint64_t address, uint64_t compUnitKey) = 0;
  // For an address inside inlined code: the location of the call; otherwise null.
  virtual SymMgrObjectPtr<ISourceLocation> inlineCallSite(uint64_t address, uint64_t compUnitKey) = 0;
};

}  // namespace ZOR_3_12

#endif  // ZOR_SOURCE_H_
