#include "dia/pdb_reader.h"

#include "dia/omap.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <tuple>
#include <unordered_map>
#include <utility>

#include <llvm/DebugInfo/CodeView/CVRecord.h>
#include <llvm/DebugInfo/CodeView/SymbolDeserializer.h>
#include <llvm/DebugInfo/CodeView/SymbolRecord.h>
#include <llvm/DebugInfo/CodeView/TypeDeserializer.h>
#include <llvm/DebugInfo/CodeView/TypeRecord.h>
#include <llvm/DebugInfo/MSF/MappedBlockStream.h>
#include <llvm/DebugInfo/PDB/Native/DbiModuleDescriptor.h>
#include <llvm/DebugInfo/PDB/Native/DbiModuleList.h>
#include <llvm/DebugInfo/PDB/Native/DbiStream.h>
#include <llvm/DebugInfo/PDB/Native/InfoStream.h>
#include <llvm/DebugInfo/PDB/Native/ModuleDebugStream.h>
#include <llvm/DebugInfo/PDB/Native/PDBFile.h>
#include <llvm/DebugInfo/PDB/Native/PDBStringTable.h>
#include <llvm/DebugInfo/PDB/Native/RawConstants.h>
#include <llvm/DebugInfo/PDB/Native/SymbolStream.h>
#include <llvm/DebugInfo/PDB/Native/RawTypes.h>
#include <llvm/Object/COFF.h>
#include <llvm/Support/Allocator.h>
#include <llvm/Support/BinaryByteStream.h>
#include <llvm/Support/BinaryStreamReader.h>
#include <llvm/Support/Error.h>
#include <llvm/Support/MemoryBuffer.h>

namespace dia {
namespace plugin {

namespace cv = llvm::codeview;
namespace pdb = llvm::pdb;

namespace {

// Line numbers the compilers use for code that has no source line.
constexpr uint32_t kHiddenLine = 0xFEEFEE;
constexpr uint32_t kHiddenLine2 = 0xF00F00;
constexpr uint32_t kDebugSubsectionLines = 0xF2;
constexpr uint32_t kDebugSubsectionChecksums = 0xF4;
constexpr uint32_t kDebugSubsectionIgnore = 0x80000000u;
constexpr int kMaxTypeDepth = 16;

template <typename T>
bool take(llvm::Expected<T>& value) {
  if (value) return true;
  llvm::consumeError(value.takeError());
  return false;
}

bool take(llvm::Error error) {
  if (!error) return true;
  llvm::consumeError(std::move(error));
  return false;
}

template <typename T>
bool decodeSymbol(const cv::CVSymbol& record, T& out) {
  llvm::Expected<T> decoded = cv::SymbolDeserializer::deserializeAs<T>(record);
  if (!take(decoded)) return false;
  out = std::move(*decoded);
  return true;
}

template <typename T>
bool decodeType(cv::CVType record, T& out) {
  return take(cv::TypeDeserializer::deserializeAs<T>(record, out));
}

uint32_t read32(const uint8_t* p) { uint32_t v; std::memcpy(&v, p, 4); return v; }  // little-endian host
uint16_t read16(const uint8_t* p) { uint16_t v; std::memcpy(&v, p, 2); return v; }

// Copies a stream range into memory, at most `limit` bytes (the file size: a stream
// directory can claim streams larger than the file by repeating blocks).
bool copyStream(llvm::BinaryStreamRef stream, uint64_t limit, std::vector<uint8_t>& out) {
  if (stream.getLength() > limit) return false;
  llvm::BinaryStreamReader reader(stream);
  llvm::ArrayRef<uint8_t> bytes;
  if (!take(reader.readBytes(bytes, reader.bytesRemaining()))) return false;
  out.assign(bytes.begin(), bytes.end());
  return true;
}

std::string fileStem(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

uint64_t simpleTypeSize(cv::TypeIndex type) {
  switch (type.getSimpleMode()) {
    case cv::SimpleTypeMode::Direct: break;
    case cv::SimpleTypeMode::NearPointer: return 2;
    case cv::SimpleTypeMode::FarPointer:
    case cv::SimpleTypeMode::HugePointer:
    case cv::SimpleTypeMode::NearPointer32:
    case cv::SimpleTypeMode::FarPointer32: return 4;
    case cv::SimpleTypeMode::NearPointer64: return 8;
    case cv::SimpleTypeMode::NearPointer128: return 16;
  }
  using K = cv::SimpleTypeKind;
  switch (type.getSimpleKind()) {
    case K::SignedCharacter: case K::UnsignedCharacter: case K::NarrowCharacter:
    case K::SByte: case K::Byte: case K::Boolean8:
      return 1;
    case K::WideCharacter: case K::Character16: case K::Int16Short: case K::UInt16Short:
    case K::Int16: case K::UInt16: case K::Boolean16: case K::Float16:
      return 2;
    case K::HResult: case K::Character32: case K::Int32Long: case K::UInt32Long: case K::Int32:
    case K::UInt32: case K::Float32: case K::Float32PartialPrecision: case K::Boolean32: case K::Complex16:
      return 4;
    case K::Float48: return 6;
    case K::Int64Quad: case K::UInt64Quad: case K::Int64: case K::UInt64: case K::Float64:
    case K::Boolean64: case K::Complex32: case K::Complex32PartialPrecision:
      return 8;
    case K::Float80: return 10;
    case K::Complex48: return 12;
    case K::Int128Oct: case K::UInt128Oct: case K::Int128: case K::UInt128: case K::Float128:
    case K::Boolean128: case K::Complex64:
      return 16;
    case K::Complex80: return 20;
    case K::Complex128: return 32;
    default: return 0;
  }
}

class Reader {
 public:
  Reader(pdb::PDBFile& file, uint64_t fileSize, PdbModel& model)
      : m_file(file), m_fileSize(fileSize), m_model(model) {}

  HRESULT run(const std::string& path);

 private:
  bool toRva(uint16_t section, uint32_t offset, uint32_t& rva) const;
  void setAddress(PdbSymbol& symbol, uint16_t section, uint32_t offset) const;
  uint32_t addSymbol(PdbSymbol symbol);
  void readTypes();
  void readTypeStream(uint32_t index, std::vector<cv::CVType>& out);
  uint64_t typeSize(cv::TypeIndex type, int depth);
  uint64_t namedTagSize(const std::string& name);
  uint32_t arrayTypeSymbol(cv::TypeIndex type);
  void readModule(uint32_t index, const pdb::DbiModuleDescriptor& module);
  void readModuleSymbols(uint32_t compilandId, const pdb::ModuleDebugStreamRef& stream);
  void addBuildInfoEnvironment(uint32_t compilandId, cv::TypeIndex buildId);
  void readLines(uint32_t compilandId, const std::vector<uint8_t>& c13);
  uint32_t fileIdFor(const std::string& name, uint32_t kind, const uint8_t* checksum, size_t size);
  void readGlobalRecords();
  void readDebugStreams(pdb::DbiStream& dbi);
  bool readOriginalSections(pdb::DbiStream& dbi);

  pdb::PDBFile& m_file;
  uint64_t m_fileSize;
  PdbModel& m_model;
  pdb::PDBStringTable* m_strings = nullptr;
  std::vector<std::pair<uint32_t, uint32_t>> m_sections;  // virtual address, virtual size
  std::vector<std::unique_ptr<llvm::msf::MappedBlockStream>> m_typeStreams;
  std::vector<cv::CVType> m_types;
  std::vector<cv::CVType> m_ids;
  bool m_tagSizesRead = false;
  std::unordered_map<std::string, uint64_t> m_tagSizes;
  std::map<uint32_t, uint32_t> m_arrayTypes;  // type index -> array-type symbol id
  std::unordered_map<std::string, uint32_t> m_fileIds;
  std::set<std::tuple<uint16_t, uint32_t, std::string>> m_moduleData;
};

bool Reader::toRva(uint16_t section, uint32_t offset, uint32_t& rva) const {
  if (section == 0 || section > m_sections.size()) return false;
  uint64_t value = uint64_t(m_sections[section - 1].first) + offset;
  if (value > 0xFFFFFFFFu) return false;
  rva = static_cast<uint32_t>(value);
  return true;
}

void Reader::setAddress(PdbSymbol& symbol, uint16_t section, uint32_t offset) const {
  symbol.hasAddress = true;
  symbol.section = section;
  symbol.offset = offset;
  symbol.hasRva = toRva(section, offset, symbol.rva);
}

uint32_t Reader::addSymbol(PdbSymbol symbol) {
  uint32_t id = static_cast<uint32_t>(m_model.symbols.size());
  uint32_t parent = symbol.parent;
  m_model.symbols.push_back(std::move(symbol));
  if (parent < id) m_model.symbols[parent].children.push_back(id);
  return id;
}

// The type records are read straight from the TPI and IPI streams: the stream objects of
// the PDB library also load hash tables that a damaged file can make it overrun.
void Reader::readTypeStream(uint32_t index, std::vector<cv::CVType>& out) {
  if (index >= m_file.getNumStreams()) return;
  auto stream = m_file.safelyCreateIndexedStream(index);
  if (!take(stream)) return;
  llvm::BinaryStreamReader reader(**stream);
  const pdb::TpiStreamHeader* header = nullptr;
  if (!take(reader.readObject(header))) return;
  if (header->HeaderSize < sizeof(pdb::TpiStreamHeader) ||
      !take(reader.skip(header->HeaderSize - sizeof(pdb::TpiStreamHeader))))
    return;
  cv::CVTypeArray types;
  uint64_t bytes = std::min<uint64_t>(header->TypeRecordBytes, reader.bytesRemaining());
  if (!take(reader.readArray(types, static_cast<uint32_t>(bytes)))) return;
  bool failed = false;
  for (auto it = types.begin(&failed), end = types.end(); it != end; ++it) out.push_back(*it);
  m_typeStreams.push_back(std::move(*stream));
}

void Reader::readTypes() {
  readTypeStream(pdb::StreamTPI, m_types);
  readTypeStream(pdb::StreamIPI, m_ids);
}

// The info stream ends in the named-stream map, a hash table of name offsets into a string
// buffer. The PDB library sizes the table by the capacity the file states, fills the slots
// the file marks present without checking them against that capacity, and reads names at
// stored offsets without checking them against the buffer. Refuse maps that would make it
// allocate out of proportion to the file, write past the table or read past the names.
bool infoStreamIsSafe(pdb::PDBFile& file, uint64_t fileSize) {
  if (file.getNumStreams() <= pdb::StreamPDB) return true;
  auto stream = file.safelyCreateIndexedStream(pdb::StreamPDB);
  if (!take(stream)) return true;
  // Where a read fails the library fails the same read cleanly.
  llvm::BinaryStreamReader reader(**stream);
  uint32_t stringBytes = 0;
  llvm::ArrayRef<uint8_t> names;
  if (!take(reader.skip(sizeof(pdb::InfoStreamHeader))) || !take(reader.readInteger(stringBytes)) ||
      !take(reader.readBytes(names, stringBytes)))
    return true;
  uint32_t size = 0, capacity = 0, words = 0;
  if (!take(reader.readInteger(size)) || !take(reader.readInteger(capacity))) return true;
  if (uint64_t(capacity) * 8 > fileSize) return false;
  std::vector<uint32_t> slots;
  if (!take(reader.readInteger(words))) return true;
  for (uint64_t i = 0; i < words; ++i) {
    uint32_t word = 0;
    if (!take(reader.readInteger(word))) return true;
    for (uint32_t bit = 0; bit < 32; ++bit) {
      if (!(word & (1u << bit))) continue;
      if (i * 32 + bit >= capacity) return false;
      slots.push_back(static_cast<uint32_t>(i * 32 + bit));
    }
  }
  if (!take(reader.readInteger(words)) || !take(reader.skip(uint64_t(words) * 4))) return true;
  for (size_t i = 0; i < slots.size(); ++i) {
    uint32_t key = 0, value = 0;
    if (!take(reader.readInteger(key)) || !take(reader.readInteger(value))) return true;
    if (key >= names.size() || std::find(names.begin() + key, names.end(), 0) == names.end()) return false;
  }
  return true;
}

// Sizes of complete structures, classes and unions by unique name (or name), for data whose
// type is a forward reference.
uint64_t Reader::namedTagSize(const std::string& name) {
  if (!m_tagSizesRead) {
    m_tagSizesRead = true;
    for (const cv::CVType& type : m_types) {
      uint64_t size = 0;
      std::string key;
      if (type.kind() == cv::LF_STRUCTURE || type.kind() == cv::LF_CLASS || type.kind() == cv::LF_INTERFACE) {
        cv::ClassRecord record(static_cast<cv::TypeRecordKind>(type.kind()));
        if (!decodeType(type, record) || record.isForwardRef()) continue;
        size = record.getSize();
        key = (record.hasUniqueName() ? record.getUniqueName() : record.getName()).str();
      } else if (type.kind() == cv::LF_UNION) {
        cv::UnionRecord record(cv::TypeRecordKind::Union);
        if (!decodeType(type, record) || record.isForwardRef()) continue;
        size = record.getSize();
        key = (record.hasUniqueName() ? record.getUniqueName() : record.getName()).str();
      } else {
        continue;
      }
      m_tagSizes.emplace(std::move(key), size);
    }
  }
  auto found = m_tagSizes.find(name);
  return found == m_tagSizes.end() ? 0 : found->second;
}

uint64_t Reader::typeSize(cv::TypeIndex type, int depth) {
  if (type.isSimple()) return simpleTypeSize(type);
  uint32_t index = type.getIndex() - cv::TypeIndex::FirstNonSimpleIndex;
  if (index >= m_types.size() || depth > kMaxTypeDepth) return 0;
  const cv::CVType& record = m_types[index];
  switch (record.kind()) {
    case cv::LF_ARRAY: {
      cv::ArrayRecord array(cv::TypeRecordKind::Array);
      return decodeType(record, array) ? array.getSize() : 0;
    }
    case cv::LF_POINTER: {
      cv::PointerRecord pointer(cv::TypeRecordKind::Pointer);
      return decodeType(record, pointer) ? pointer.getSize() : 0;
    }
    case cv::LF_MODIFIER: {
      cv::ModifierRecord modifier(cv::TypeRecordKind::Modifier);
      return decodeType(record, modifier) ? typeSize(modifier.getModifiedType(), depth + 1) : 0;
    }
    case cv::LF_ENUM: {
      cv::EnumRecord enumeration(cv::TypeRecordKind::Enum);
      return decodeType(record, enumeration) ? typeSize(enumeration.getUnderlyingType(), depth + 1) : 0;
    }
    case cv::LF_STRUCTURE:
    case cv::LF_CLASS:
    case cv::LF_INTERFACE: {
      cv::ClassRecord tag(static_cast<cv::TypeRecordKind>(record.kind()));
      if (!decodeType(record, tag)) return 0;
      if (!tag.isForwardRef()) return tag.getSize();
      return namedTagSize((tag.hasUniqueName() ? tag.getUniqueName() : tag.getName()).str());
    }
    case cv::LF_UNION: {
      cv::UnionRecord tag(cv::TypeRecordKind::Union);
      if (!decodeType(record, tag)) return 0;
      if (!tag.isForwardRef()) return tag.getSize();
      return namedTagSize((tag.hasUniqueName() ? tag.getUniqueName() : tag.getName()).str());
    }
    default:
      return 0;
  }
}

// The array-type symbol of a data symbol's type (through modifiers), 0 when the type is no
// array. One symbol per array type, shared by every data symbol of that type.
uint32_t Reader::arrayTypeSymbol(cv::TypeIndex type) {
  for (int depth = 0; depth <= kMaxTypeDepth && !type.isSimple(); ++depth) {
    uint32_t index = type.getIndex() - cv::TypeIndex::FirstNonSimpleIndex;
    if (index >= m_types.size()) return 0;
    const cv::CVType& record = m_types[index];
    if (record.kind() == cv::LF_MODIFIER) {
      cv::ModifierRecord modifier(cv::TypeRecordKind::Modifier);
      if (!decodeType(record, modifier)) return 0;
      type = modifier.getModifiedType();
      continue;
    }
    if (record.kind() != cv::LF_ARRAY) return 0;
    auto known = m_arrayTypes.find(index);
    if (known != m_arrayTypes.end()) return known->second;
    cv::ArrayRecord array(cv::TypeRecordKind::Array);
    if (!decodeType(record, array)) return 0;
    PdbSymbol symbol;
    symbol.tag = SymTagArrayType;
    symbol.parent = m_model.globalId;
    symbol.name = array.getName().str();
    symbol.hasLength = true;
    symbol.length = array.getSize();
    // Types are not lexical children of the global scope: keep them out of its child list.
    uint32_t id = static_cast<uint32_t>(m_model.symbols.size());
    m_model.symbols.push_back(std::move(symbol));
    m_arrayTypes.emplace(index, id);
    return id;
  }
  return 0;
}

uint32_t Reader::fileIdFor(const std::string& name, uint32_t kind, const uint8_t* checksum, size_t size) {
  auto known = m_fileIds.find(name);
  if (known != m_fileIds.end()) return known->second;
  PdbSourceFile file;
  file.name = name;
  file.checksumKind = kind;
  file.checksum.assign(checksum, checksum + size);
  m_model.files.push_back(std::move(file));
  uint32_t id = static_cast<uint32_t>(m_model.files.size());
  m_fileIds.emplace(name, id);
  return id;
}

// C13 line information: DEBUG_S_FILECHKSMS names the files, DEBUG_S_LINES gives, per code
// contribution, blocks of (offset, line[, column]) entries for one file each.
void Reader::readLines(uint32_t compilandId, const std::vector<uint8_t>& c13) {
  struct Subsection {
    uint32_t kind;
    size_t begin;
    size_t size;
  };
  std::vector<Subsection> subsections;
  for (size_t pos = 0; pos + 8 <= c13.size();) {
    uint32_t kind = read32(&c13[pos]);
    uint32_t size = read32(&c13[pos + 4]);
    if (size > c13.size() - pos - 8) break;
    subsections.push_back({kind & ~kDebugSubsectionIgnore, pos + 8, size});
    if (kind & kDebugSubsectionIgnore) subsections.back().kind = 0;
    pos += 8 + ((uint64_t(size) + 3) & ~uint64_t(3));
  }

  std::map<uint32_t, uint32_t> checksumFiles;  // checksum entry offset -> file id
  std::vector<uint32_t>& compilandFiles = m_model.compilandFiles[compilandId - 1];
  for (const Subsection& sub : subsections) {
    if (sub.kind != kDebugSubsectionChecksums) continue;
    const uint8_t* data = &c13[sub.begin];
    for (size_t pos = 0; pos + 6 <= sub.size;) {
      uint32_t nameOffset = read32(data + pos);
      uint8_t size = data[pos + 4];
      uint8_t kind = data[pos + 5];
      if (size > sub.size - pos - 6) break;
      uint32_t entryOffset = static_cast<uint32_t>(pos);
      const uint8_t* checksum = data + pos + 6;
      pos = (pos + 6 + size + 3) & ~size_t(3);
      if (!m_strings) continue;
      llvm::Expected<llvm::StringRef> name = m_strings->getStringForID(nameOffset);
      if (!take(name)) continue;
      uint32_t fileId = fileIdFor(name->str(), kind <= 3 ? kind : 0, checksum, kind <= 3 ? size : 0);
      checksumFiles.emplace(entryOffset, fileId);
      if (std::find(compilandFiles.begin(), compilandFiles.end(), fileId) == compilandFiles.end())
        compilandFiles.push_back(fileId);
    }
  }

  for (const Subsection& sub : subsections) {
    if (sub.kind != kDebugSubsectionLines || sub.size < 12) continue;
    const uint8_t* data = &c13[sub.begin];
    uint32_t base = read32(data);
    uint16_t section = read16(data + 4);
    bool hasColumns = (read16(data + 6) & 1) != 0;
    uint32_t codeSize = read32(data + 8);
    uint32_t sectionRva = 0;
    if (!toRva(section, 0, sectionRva)) continue;
    struct Entry {
      uint32_t offset;
      uint32_t line;
      uint32_t column;
      uint32_t fileId;
    };
    std::vector<Entry> entries;
    for (size_t pos = 12; pos + 12 <= sub.size;) {
      uint32_t checksumOffset = read32(data + pos);
      uint32_t count = read32(data + pos + 4);
      uint32_t blockSize = read32(data + pos + 8);
      if (blockSize < 12 || blockSize > sub.size - pos) break;
      uint64_t needed = uint64_t(count) * (hasColumns ? 12 : 8);
      if (needed > blockSize - 12) break;
      const uint8_t* lines = data + pos + 12;
      const uint8_t* columns = lines + size_t(count) * 8;
      auto file = checksumFiles.find(checksumOffset);
      uint32_t fileId = file == checksumFiles.end() ? 0 : file->second;
      for (uint32_t i = 0; i < count; ++i) {
        Entry entry;
        entry.offset = read32(lines + size_t(i) * 8);
        entry.line = read32(lines + size_t(i) * 8 + 4) & 0xFFFFFFu;
        entry.column = hasColumns ? read16(columns + size_t(i) * 4) : 0;
        entry.fileId = fileId;
        entries.push_back(entry);
      }
      pos += blockSize;
    }
    // A line runs up to the next entry of the contribution (whatever its block), the last
    // one up to the end of the contribution. Entries sharing an offset (compilers write a
    // function's opening line and its first statement at one address) all stay, in file
    // order, but only the last of them covers the code: the earlier ones get length 0, so
    // that they are found at their exact address only.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.offset < b.offset; });
    std::vector<uint32_t> ends(entries.size(), codeSize);
    for (size_t i = 0; i + 1 < entries.size(); ++i) ends[i] = entries[i + 1].offset;
    for (size_t i = 0; i < entries.size(); ++i) {
      const Entry& entry = entries[i];
      uint32_t end = ends[i];
      if (entry.fileId == 0 || entry.line == kHiddenLine || entry.line == kHiddenLine2) continue;
      uint64_t rva = uint64_t(sectionRva) + base + entry.offset;
      if (rva > 0xFFFFFFFFu) continue;
      PdbLine line;
      line.rva = static_cast<uint32_t>(rva);
      line.length = end > entry.offset ? end - entry.offset : 0;
      line.line = entry.line;
      line.column = entry.column;
      line.fileId = entry.fileId;
      line.compilandId = compilandId;
      m_model.lines.push_back(line);
      std::vector<uint32_t>& users = m_model.files[entry.fileId - 1].compilands;
      if (std::find(users.begin(), users.end(), compilandId) == users.end()) users.push_back(compilandId);
    }
  }
}

void Reader::addBuildInfoEnvironment(uint32_t compilandId, cv::TypeIndex buildId) {
  if (buildId.isSimple()) return;
  uint32_t index = buildId.getIndex() - cv::TypeIndex::FirstNonSimpleIndex;
  if (index >= m_ids.size() || m_ids[index].kind() != cv::LF_BUILDINFO) return;
  cv::BuildInfoRecord info(cv::TypeRecordKind::BuildInfo);
  if (!decodeType(m_ids[index], info)) return;
  static const char* const kNames[] = {"cwd", "exe", "src", "pdb", "cmd"};
  llvm::ArrayRef<cv::TypeIndex> args = info.getArgs();
  for (size_t i = 0; i < args.size() && i < 5; ++i) {
    if (args[i].isSimple()) continue;
    uint32_t arg = args[i].getIndex() - cv::TypeIndex::FirstNonSimpleIndex;
    if (arg >= m_ids.size() || m_ids[arg].kind() != cv::LF_STRING_ID) continue;
    cv::StringIdRecord text(cv::TypeRecordKind::StringId);
    if (!decodeType(m_ids[arg], text) || text.getString().empty()) continue;
    PdbSymbol env;
    env.tag = SymTagCompilandEnv;
    env.parent = compilandId;
    env.compiland = compilandId;
    env.name = kNames[i];
    env.hasValue = true;
    env.value = text.getString().str();
    addSymbol(std::move(env));
  }
}

void Reader::readModuleSymbols(uint32_t compilandId, const pdb::ModuleDebugStreamRef& stream) {
  std::vector<uint32_t> scopes;  // open lexical scopes (ids)
  bool hasEnvironment = false;
  bool hasDetails = false;
  cv::TypeIndex buildId = cv::TypeIndex::None();
  bool failed = false;
  for (const cv::CVSymbol& record : stream.symbols(&failed)) {
    uint32_t parent = scopes.empty() ? compilandId : scopes.back();
    PdbSymbol symbol;
    symbol.parent = parent;
    symbol.compiland = compilandId;
    switch (record.kind()) {
      case cv::S_GPROC32:
      case cv::S_LPROC32:
      case cv::S_GPROC32_ID:
      case cv::S_LPROC32_ID:
      case cv::S_LPROC32_DPC:
      case cv::S_LPROC32_DPC_ID: {
        cv::ProcSym proc(cv::SymbolRecordKind::ProcSym);
        if (!decodeSymbol(record, proc)) {
          scopes.push_back(parent);  // keep S_END pairing
          break;
        }
        symbol.tag = SymTagFunction;
        symbol.name = proc.Name.str();
        setAddress(symbol, proc.Segment, proc.CodeOffset);
        symbol.hasLength = true;
        symbol.length = proc.CodeSize;
        symbol.code = true;
        symbol.function = true;
        scopes.push_back(addSymbol(std::move(symbol)));
        break;
      }
      case cv::S_BLOCK32: {
        cv::BlockSym block(cv::SymbolRecordKind::BlockSym);
        if (!decodeSymbol(record, block)) {
          scopes.push_back(parent);
          break;
        }
        symbol.tag = SymTagBlock;
        symbol.name = block.Name.str();
        setAddress(symbol, block.Segment, block.CodeOffset);
        symbol.hasLength = true;
        symbol.length = block.CodeSize;
        symbol.code = true;
        scopes.push_back(addSymbol(std::move(symbol)));
        break;
      }
      case cv::S_THUNK32: {
        cv::Thunk32Sym thunk(cv::SymbolRecordKind::Thunk32Sym);
        if (!decodeSymbol(record, thunk)) {
          scopes.push_back(parent);
          break;
        }
        symbol.tag = SymTagThunk;
        symbol.name = thunk.Name.str();
        setAddress(symbol, thunk.Segment, thunk.Offset);
        symbol.hasLength = true;
        symbol.length = thunk.Length;
        symbol.code = true;
        symbol.isThunk = true;
        symbol.thunkOrdinal = static_cast<uint32_t>(thunk.Thunk);
        scopes.push_back(addSymbol(std::move(symbol)));
        break;
      }
      case cv::S_INLINESITE:
      case cv::S_INLINESITE2:
      case cv::S_SEPCODE:
        // Their contents belong to the enclosing function here.
        scopes.push_back(parent);
        break;
      case cv::S_END:
      case cv::S_PROC_ID_END:
      case cv::S_INLINESITE_END:
        if (!scopes.empty()) scopes.pop_back();
        break;
      case cv::S_TRAMPOLINE: {
        cv::TrampolineSym trampoline(cv::SymbolRecordKind::TrampolineSym);
        if (!decodeSymbol(record, trampoline)) break;
        symbol.tag = SymTagThunk;
        setAddress(symbol, trampoline.ThunkSection, trampoline.ThunkOffset);
        symbol.hasLength = true;
        symbol.length = trampoline.Size;
        symbol.code = true;
        symbol.isThunk = true;
        // Incremental-link trampolines and branch islands.
        symbol.thunkOrdinal = trampoline.Type == cv::TrampolineType::TrampIncremental ? 5 : 6;
        symbol.hasTarget = toRva(trampoline.TargetSection, trampoline.TargetOffset, symbol.targetRva);
        addSymbol(std::move(symbol));
        break;
      }
      case cv::S_LDATA32:
      case cv::S_GDATA32: {
        cv::DataSym data(cv::SymbolRecordKind::DataSym);
        if (!decodeSymbol(record, data)) break;
        symbol.tag = SymTagData;
        symbol.name = data.Name.str();
        setAddress(symbol, data.Segment, data.DataOffset);
        symbol.hasLength = true;
        symbol.length = typeSize(data.Type, 0);
        symbol.typeId = arrayTypeSymbol(data.Type);
        m_moduleData.emplace(data.Segment, data.DataOffset, symbol.name);
        addSymbol(std::move(symbol));
        break;
      }
      case cv::S_LABEL32: {
        cv::LabelSym label(cv::SymbolRecordKind::LabelSym);
        if (!decodeSymbol(record, label)) break;
        symbol.tag = SymTagLabel;
        symbol.name = label.Name.str();
        setAddress(symbol, label.Segment, label.CodeOffset);
        symbol.code = true;
        addSymbol(std::move(symbol));
        break;
      }
      case cv::S_COMPILE3: {
        cv::Compile3Sym compile(cv::SymbolRecordKind::Compile3Sym);
        if (hasDetails || !decodeSymbol(record, compile)) break;
        hasDetails = true;
        symbol.tag = SymTagCompilandDetails;
        symbol.hasDetails = true;
        symbol.language = static_cast<uint32_t>(compile.getLanguage());
        symbol.backEndMajor = compile.VersionBackendMajor;
        symbol.backEndMinor = compile.VersionBackendMinor;
        symbol.compilerName = compile.Version.str();
        addSymbol(std::move(symbol));
        break;
      }
      case cv::S_COMPILE2: {
        cv::Compile2Sym compile(cv::SymbolRecordKind::Compile2Sym);
        if (hasDetails || !decodeSymbol(record, compile)) break;
        hasDetails = true;
        symbol.tag = SymTagCompilandDetails;
        symbol.hasDetails = true;
        symbol.language = compile.getLanguage();
        symbol.backEndMajor = compile.VersionBackendMajor;
        symbol.backEndMinor = compile.VersionBackendMinor;
        symbol.compilerName = compile.Version.str();
        addSymbol(std::move(symbol));
        break;
      }
      case cv::S_ENVBLOCK: {
        cv::EnvBlockSym env(cv::SymbolRecordKind::EnvBlockSym);
        if (!decodeSymbol(record, env)) break;
        for (size_t i = 0; i + 1 < env.Fields.size(); i += 2) {
          PdbSymbol entry;
          entry.tag = SymTagCompilandEnv;
          entry.parent = compilandId;
          entry.compiland = compilandId;
          entry.name = env.Fields[i].str();
          entry.hasValue = true;
          entry.value = env.Fields[i + 1].str();
          addSymbol(std::move(entry));
          hasEnvironment = true;
        }
        break;
      }
      case cv::S_BUILDINFO: {
        cv::BuildInfoSym info(cv::SymbolRecordKind::BuildInfoSym);
        if (decodeSymbol(record, info)) buildId = info.BuildId;
        break;
      }
      default:
        break;
    }
  }
  // Compilers that record their environment only as an LF_BUILDINFO item get it from there.
  if (!hasEnvironment) addBuildInfoEnvironment(compilandId, buildId);
}

void Reader::readModule(uint32_t index, const pdb::DbiModuleDescriptor& module) {
  uint32_t compilandId = index + 1;
  uint16_t streamIndex = module.getModuleStreamIndex();
  if (streamIndex == pdb::kInvalidStreamIndex) return;
  auto stream = m_file.safelyCreateIndexedStream(streamIndex);
  if (!take(stream)) return;
  pdb::ModuleDebugStreamRef debug(module, std::move(*stream));
  if (!take(debug.reload())) return;
  readModuleSymbols(compilandId, debug);
  std::vector<uint8_t> c13;
  if (copyStream(debug.getC13LinesSubstream().StreamData, m_fileSize, c13)) readLines(compilandId, c13);
}

// The global symbol records hold the publics and the global data (which the linker may
// keep out of the module streams).
void Reader::readGlobalRecords() {
  if (!m_file.hasPDBSymbolStream()) return;
  auto records = m_file.getPDBSymbolStream();
  if (!take(records)) return;
  std::vector<uint32_t> publics;
  bool failed = false;
  for (const cv::CVSymbol& record : records->getSymbols(&failed)) {
    PdbSymbol symbol;
    symbol.parent = m_model.globalId;
    if (record.kind() == cv::S_PUB32) {
      cv::PublicSym32 pub(cv::SymbolRecordKind::PublicSym32);
      if (!decodeSymbol(record, pub)) continue;
      uint32_t flags = static_cast<uint32_t>(pub.Flags);
      symbol.tag = SymTagPublicSymbol;
      symbol.name = pub.Name.str();
      setAddress(symbol, pub.Segment, pub.Offset);
      // Some linkers mark functions without the code bit; a function is code all the same.
      symbol.function = (flags & uint32_t(cv::PublicSymFlags::Function)) != 0;
      symbol.code = symbol.function || (flags & uint32_t(cv::PublicSymFlags::Code)) != 0;
      publics.push_back(addSymbol(std::move(symbol)));
    } else if (record.kind() == cv::S_GDATA32 || record.kind() == cv::S_LDATA32) {
      cv::DataSym data(cv::SymbolRecordKind::DataSym);
      if (!decodeSymbol(record, data)) continue;
      if (m_moduleData.count(std::make_tuple(data.Segment, data.DataOffset, data.Name.str()))) continue;
      symbol.tag = SymTagData;
      symbol.name = data.Name.str();
      setAddress(symbol, data.Segment, data.DataOffset);
      symbol.hasLength = true;
      symbol.length = typeSize(data.Type, 0);
      symbol.typeId = arrayTypeSymbol(data.Type);
      addSymbol(std::move(symbol));
    }
  }
  // A public runs up to the next public of its section; the last one has no known length.
  std::vector<uint32_t> order = publics;
  std::stable_sort(order.begin(), order.end(), [this](uint32_t a, uint32_t b) {
    const PdbSymbol& x = m_model.symbols[a];
    const PdbSymbol& y = m_model.symbols[b];
    return std::make_pair(x.section, x.offset) < std::make_pair(y.section, y.offset);
  });
  uint32_t nextOffset = 0;  // start of the next public at a higher offset in the same section
  bool hasNext = false;
  for (size_t i = order.size(); i-- > 0;) {
    PdbSymbol& symbol = m_model.symbols[order[i]];
    if (i + 1 < order.size()) {
      const PdbSymbol& next = m_model.symbols[order[i + 1]];
      if (next.section != symbol.section) {
        hasNext = false;
      } else if (next.offset > symbol.offset) {
        hasNext = true;
        nextOffset = next.offset;
      }
    }
    symbol.hasLength = true;
    symbol.length = hasNext ? nextOffset - symbol.offset : 0;
  }
}

void Reader::readDebugStreams(pdb::DbiStream& dbi) {
  struct Kind {
    pdb::DbgHeaderType type;
    const char* name;
    uint32_t recordSize;
  };
  static const Kind kKinds[] = {{pdb::DbgHeaderType::OmapToSrc, "OMAPTO", 8},
                                {pdb::DbgHeaderType::OmapFromSrc, "OMAPFROM", 8}};
  for (const Kind& kind : kKinds) {
    uint32_t index = dbi.getDebugStreamIndex(kind.type);
    if (index == pdb::kInvalidStreamIndex || index >= m_file.getNumStreams()) continue;
    auto stream = m_file.safelyCreateIndexedStream(index);
    if (!take(stream)) continue;
    PdbDebugStream out;
    out.name = kind.name;
    out.recordSize = kind.recordSize;
    if (!copyStream(llvm::BinaryStreamRef(**stream), m_fileSize, out.data)) continue;
    out.data.resize(out.data.size() - out.data.size() % kind.recordSize);
    m_model.debugStreams.push_back(std::move(out));
  }
}

// A rearranged image's PDB places its symbols and lines in the sections as they were
// before the move, which it keeps as the original section headers.
bool Reader::readOriginalSections(pdb::DbiStream& dbi) {
  bool hasOmap = false;
  for (const PdbDebugStream& stream : m_model.debugStreams) hasOmap = hasOmap || stream.name == "OMAPFROM";
  uint32_t index = dbi.getDebugStreamIndex(pdb::DbgHeaderType::SectionHdrOrig);
  if (!hasOmap || index == pdb::kInvalidStreamIndex || index >= m_file.getNumStreams()) return false;
  auto stream = m_file.safelyCreateIndexedStream(index);
  std::vector<uint8_t> bytes;
  if (!take(stream) || !copyStream(llvm::BinaryStreamRef(**stream), m_fileSize, bytes)) return false;
  constexpr size_t kHeaderSize = sizeof(llvm::object::coff_section);
  if (bytes.size() < kHeaderSize) return false;
  for (size_t at = 0; at + kHeaderSize <= bytes.size(); at += kHeaderSize) {
    llvm::object::coff_section header;
    std::memcpy(&header, &bytes[at], kHeaderSize);
    m_sections.emplace_back(header.VirtualAddress, header.VirtualSize);
  }
  return true;
}

HRESULT Reader::run(const std::string& path) {
  if (!take(m_file.parseFileHeaders()) || !take(m_file.parseStreamData())) return E_PDB_FORMAT;
  if (!infoStreamIsSafe(m_file, m_fileSize)) return E_PDB_FORMAT;
  auto info = m_file.getPDBInfoStream();
  if (!take(info)) return E_PDB_FORMAT;
  cv::GUID guid = info->getGuid();
  static_assert(sizeof(guid.Guid) == sizeof(GUID), "GUID layout");
  std::memcpy(&m_model.guid, guid.Guid, sizeof(GUID));
  m_model.signature = info->getSignature();
  m_model.age = info->getAge();
  if (!m_file.hasPDBDbiStream()) return E_PDB_FORMAT;
  auto dbi = m_file.getPDBDbiStream();
  if (!take(dbi)) return E_PDB_FORMAT;
  m_model.dbiAge = dbi->getAge();
  m_model.hasDbiAge = true;
  m_model.machine = static_cast<uint16_t>(dbi->getMachineType());
  readDebugStreams(*dbi);
  if (!readOriginalSections(*dbi))
    for (const llvm::object::coff_section& section : dbi->getSectionHeaders())
      m_sections.emplace_back(section.VirtualAddress, section.VirtualSize);
  if (m_file.hasPDBStringTable()) {
    auto strings = m_file.getStringTable();
    if (take(strings)) m_strings = &*strings;
  }
  readTypes();

  // The module descriptors are walked here rather than through the library's module list,
  // whose count comes from a header field that need not match the descriptors present.
  std::vector<pdb::DbiModuleDescriptor> modules;
  {
    llvm::BinaryStreamReader reader(dbi->getModiSubstreamData().StreamData);
    llvm::VarStreamArray<pdb::DbiModuleDescriptor> descriptors;
    if (take(reader.readArray(descriptors, static_cast<uint32_t>(reader.bytesRemaining())))) {
      bool failed = false;
      for (auto it = descriptors.begin(&failed), end = descriptors.end(); it != end; ++it) modules.push_back(*it);
    }
  }
  uint32_t count = static_cast<uint32_t>(modules.size());
  m_model.compilandCount = count;
  m_model.symbols.resize(count + 2);
  m_model.globalId = count + 1;
  m_model.compilandFiles.resize(count);
  PdbSymbol& global = m_model.symbols[m_model.globalId];
  global.tag = SymTagExe;
  global.name = fileStem(path);
  for (uint32_t i = 0; i < count; ++i) {
    const pdb::DbiModuleDescriptor& module = modules[i];
    PdbSymbol& compiland = m_model.symbols[i + 1];
    compiland.tag = SymTagCompiland;
    compiland.parent = m_model.globalId;
    compiland.compiland = i + 1;
    compiland.name = module.getModuleName().str();
    compiland.libraryName = module.getObjFileName().str();
    if (m_strings && module.getSourceFileNameIndex() != 0) {
      auto source = m_strings->getStringForID(module.getSourceFileNameIndex());
      if (take(source)) compiland.sourceFileName = source->str();
    }
    m_model.symbols[m_model.globalId].children.push_back(i + 1);
  }
  for (uint32_t i = 0; i < count; ++i) readModule(i, modules[i]);
  readGlobalRecords();
  applyOmap(m_model);

  std::stable_sort(m_model.lines.begin(), m_model.lines.end(),
                   [](const PdbLine& a, const PdbLine& b) { return a.rva < b.rva; });
  m_model.compilandLines.resize(count);
  for (size_t i = 0; i < m_model.lines.size(); ++i) {
    const PdbLine& line = m_model.lines[i];
    m_model.longestLine = std::max(m_model.longestLine, line.length);
    m_model.compilandLines[line.compilandId - 1].push_back(static_cast<uint32_t>(i));
  }
  return S_OK;
}

// The PDB library sizes its free-block map by the block count of the superblock; a count
// that the file cannot hold would make it allocate far beyond the file.
bool superBlockFitsFile(const llvm::MemoryBuffer& buffer) {
  constexpr size_t kBlockSizeOffset = 32;
  constexpr size_t kBlockCountOffset = 40;
  if (buffer.getBufferSize() < kBlockCountOffset + 4) return true;  // rejected by the library
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(buffer.getBufferStart());
  uint64_t blockSize = read32(bytes + kBlockSizeOffset);
  uint64_t blockCount = read32(bytes + kBlockCountOffset);
  return blockSize * blockCount <= buffer.getBufferSize();
}

// The PDB library checks the stream directory's block numbers with 32-bit arithmetic that
// wraps, and its fixed-size arrays dereference a failed read: every block the directory
// names must lie inside the file. It also gives a nil stream (size all ones) that length
// but no blocks, and then reads blocks that are not there: the file offsets of such sizes
// go to `nilSizes`, to be read as empty streams.
bool directoryBlocksInFile(const llvm::MemoryBuffer& buffer, std::vector<uint64_t>& nilSizes) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(buffer.getBufferStart());
  uint64_t size = buffer.getBufferSize();
  if (size < 56) return true;  // rejected by the library
  uint32_t blockSize = read32(bytes + 32);
  uint32_t blockCount = read32(bytes + 40);
  uint32_t directoryBytes = read32(bytes + 44);
  uint32_t blockMap = read32(bytes + 52);
  if (blockSize != 512 && blockSize != 1024 && blockSize != 2048 && blockSize != 4096) return true;
  auto blocksOf = [blockSize](uint64_t length) { return (length + blockSize - 1) / blockSize; };
  uint64_t directoryBlocks = blocksOf(directoryBytes);
  if (blockMap >= blockCount || directoryBlocks * 4 > blockSize) return false;
  std::vector<uint8_t> directory;
  std::vector<uint32_t> directoryBlockList;
  directory.reserve(directoryBlocks * blockSize);
  for (uint64_t i = 0; i < directoryBlocks; ++i) {
    uint32_t block = read32(bytes + uint64_t(blockMap) * blockSize + i * 4);
    if (block >= blockCount) return false;
    directoryBlockList.push_back(block);
    directory.insert(directory.end(), bytes + uint64_t(block) * blockSize, bytes + (uint64_t(block) + 1) * blockSize);
  }
  directory.resize(directoryBytes);
  if (directory.size() < 4) return false;
  uint64_t streams = read32(directory.data());
  if (4 + streams * 4 > directory.size()) return false;
  uint64_t next = 4 + streams * 4;
  for (uint64_t i = 0; i < streams; ++i) {
    uint64_t at = 4 + i * 4;
    uint32_t length = read32(directory.data() + at);
    if (length == 0xFFFFFFFFu) {
      nilSizes.push_back(uint64_t(directoryBlockList[at / blockSize]) * blockSize + at % blockSize);
      continue;
    }
    uint64_t blocks = blocksOf(length);
    if (next + blocks * 4 > directory.size()) return false;
    for (uint64_t k = 0; k < blocks; ++k, next += 4)
      if (read32(directory.data() + next) >= blockCount) return false;
  }
  return true;
}

HRESULT readBuffer(std::unique_ptr<llvm::MemoryBuffer> buffer, const std::string& path, PdbModel& model) {
  uint64_t size = buffer->getBufferSize();
  std::vector<uint64_t> nilSizes;
  if (!superBlockFitsFile(*buffer) || !directoryBlocksInFile(*buffer, nilSizes)) return E_PDB_FORMAT;
  if (!nilSizes.empty()) {
    std::unique_ptr<llvm::WritableMemoryBuffer> copy =
        llvm::WritableMemoryBuffer::getNewUninitMemBuffer(size, buffer->getBufferIdentifier());
    if (!copy) return E_OUTOFMEMORY;
    std::memcpy(copy->getBufferStart(), buffer->getBufferStart(), size);
    for (uint64_t at : nilSizes) std::memset(copy->getBufferStart() + at, 0, 4);
    buffer = std::move(copy);
  }
  auto stream = std::make_unique<llvm::MemoryBufferByteStream>(std::move(buffer), llvm::support::little);
  llvm::BumpPtrAllocator allocator;
  pdb::PDBFile file(path, std::move(stream), allocator);
  PdbModel fresh;
  Reader reader(file, size, fresh);
  HRESULT hr = reader.run(path);
  if (SUCCEEDED(hr)) model = std::move(fresh);
  return hr;
}

}  // namespace

HRESULT readPdbFile(const std::string& path, PdbModel& model) {
  auto buffer = llvm::MemoryBuffer::getFile(path, /*IsText=*/false, /*RequiresNullTerminator=*/false);
  if (!buffer) return E_PDB_NOT_FOUND;
  return readBuffer(std::move(*buffer), path, model);
}

HRESULT readPdbBytes(const uint8_t* data, size_t size, const std::string& name, PdbModel& model) {
  llvm::StringRef bytes(reinterpret_cast<const char*>(data), size);
  return readBuffer(llvm::MemoryBuffer::getMemBuffer(bytes, name, /*RequiresNullTerminator=*/false), name, model);
}

}  // namespace plugin
}  // namespace dia
