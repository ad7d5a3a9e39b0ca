#include "zor/manager/module_symbol_bank.h"

#include <cwchar>

#include "kave/file.h"
#include "zor/loader/file_identity.h"
#include "zor/manager/symbol_manager.h"
#include "zor/object/globals.h"
#include "zor/object/trace.h"

namespace ZOR_3_12 {
namespace {

constexpr uint64_t kWholeAddressSpaceEnd = 0xFFFFFFFFFFFFFFFFull;

ISymbolManager* liveManager() {
  ScopedLock guard(&internal::managerLock());
  return SymbolManager::instance();
}

}  // namespace

ModuleSymbolBank::ModuleSymbolBank(IFileFormatLoader* ffl, IDebugInfoLoader* debugInfoLoader, ILock* lock)
    : SymMgrObject<IModuleSymbolBank>(lock),
      m_symbolManager(liveManager()),
      m_ffl(ffl),
      m_debugInfoLoader(debugInfoLoader),
      m_globalScope(ffl, debugInfoLoader, &m_scopeLock) {
  ZOR_TRACE("ModuleSymbolBank", "ModuleSymbolBank");
  ZOR_ASSERT(m_ffl, internal::kModuleBankSource, 84);
  // The scope is a member, not a heap object: a reference of our own keeps the count of
  // ranges that point at it from ever reaching zero and deleting it.
  m_globalScope.addRef();
}

ModuleSymbolBank::~ModuleSymbolBank() {
  ZOR_TRACE("~ModuleSymbolBank", "ModuleSymbolBank");
  // The final release holds the load lock, so no other thread can find us in the cache now.
  if (m_symbolManager)
    static_cast<SymbolManager*>(m_symbolManager.get())->releaseBank(m_ffl.get(), m_debugInfoLoader.get());
  m_debugInfoLoader.reset();
  // The remaining members go in reverse order: the scope, then the image loader (which may
  // leave the manager's cache), and last the manager itself.
}

const wchar_t* ModuleSymbolBank::execFileName() {
  ZOR_TRACE("execFileName", "ModuleSymbolBank");
  return m_ffl->fileName();
}

const wchar_t* ModuleSymbolBank::checkSum() {
  ZOR_TRACE("checkSum", "ModuleSymbolBank");
  std::call_once(m_checkSumOnce, [this] {
    KAVE_3_1::File file{KAVE_3_1::Filename(KAVE_3_1::String(m_ffl->fileName()), KAVE_3_1::FORMAT_NATIVE, false)};
    const uint64_t sum = file.checksum();
    wchar_t text[17];
    swprintf(text, 17, L"%08x%08x", static_cast<unsigned>(sum >> 32), static_cast<unsigned>(sum & 0xFFFFFFFFu));
    m_checkSum = text;
  });
  return m_checkSum.c_str();
}

const wchar_t* ModuleSymbolBank::symFileName() {
  ZOR_TRACE("symFileName", "ModuleSymbolBank");
  return m_debugInfoLoader ? m_debugInfoLoader->symFileName() : m_ffl->fileName();
}

exec_format_t ModuleSymbolBank::execFileFormat() {
  ZOR_TRACE("execFileFormat", "ModuleSymbolBank");
  return m_ffl->execFormat();
}

uint32_t ModuleSymbolBank::symFileFormat() {
  ZOR_TRACE("symFileFormat", "ModuleSymbolBank");
  return m_debugInfoLoader ? m_debugInfoLoader->symFileFormat() : SYM_FORMAT_NONE;
}

uint32_t ModuleSymbolBank::architecture() {
  ZOR_TRACE("architecture", "ModuleSymbolBank");
  return m_ffl->architecture();
}

uint64_t ModuleSymbolBank::preferredLoadAddress() {
  ZOR_TRACE("preferredLoadAddress", "ModuleSymbolBank");
  return m_ffl->imageBase();
}

uint64_t ModuleSymbolBank::imageSize() {
  ZOR_TRACE("imageSize", "ModuleSymbolBank");
  return m_ffl->imageSize();
}

status_t ModuleSymbolBank::compUnitDetailsById(uint64_t id, ICompUnitDetails*& details) {
  ZOR_TRACE("compUnitDetailsById", "ModuleSymbolBank");
  ISrcLineResolver* resolver = m_globalScope.lineResolver();
  if (resolver == nullptr) return STATUS_FALSE;
  details = resolver->compUnitDetails(id);
  return details == nullptr ? STATUS_FALSE : STATUS_OK;
}

// Not traced: the hot path of a profiler, called once per sample address.
status_t ModuleSymbolBank::symbolRangeByAddress(IAddress* address, SymMgrObjectPtr<ISymbolRange>& range,
                                                uint32_t kindMask, ISymbolSelector* selector) {
  if (address == nullptr) return STATUS_INVALID_ARGUMENT;
  return m_globalScope.symbolRangeByAddress(range, address->va(), kindMask, selector);
}

status_t ModuleSymbolBank::originalSymbolRanges(SymMgrObjectPtr<SymbolRangeIter>& ranges, uint32_t kindMask,
                                                IAddress* from, IAddress* to) {
  ZOR_TRACE("originalSymbolRanges", "ModuleSymbolBank");
  const uint64_t low = from ? from->va() : 0;
  const uint64_t high = to ? to->va() : kWholeAddressSpaceEnd;
  return m_globalScope.originalSymbolRanges(ranges, low, high, kindMask);
}

status_t ModuleSymbolBank::nonOverlappedSymbolRanges(SymMgrObjectPtr<SymbolRangeIter>& ranges, uint32_t kindMask,
                                                     IAddress* from, IAddress* to, ISymbolSelector* selector) {
  ZOR_TRACE("nonOverlappedSymbolRanges", "ModuleSymbolBank");
  const uint64_t low = from ? from->va() : 0;
  const uint64_t high = to ? to->va() : kWholeAddressSpaceEnd;
  return m_globalScope.nonOverlappedSymbolRanges(ranges, low, high, kindMask, selector);
}

status_t ModuleSymbolBank::sourceFileByName(const wchar_t*, uint64_t, void*, ISourceFile**) {
  ZOR_TRACE("sourceFileByName", "ModuleSymbolBank");
  return STATUS_NOT_IMPLEMENTED;
}

status_t ModuleSymbolBank::sourceLocationsByAddress(IAddress* address, SymMgrObjectPtr<ISourceLocation>& location,
                                                    uint64_t compUnitKey, ISourceLocationSelector* selector) {
  ZOR_TRACE("sourceLocationsByAddress", "ModuleSymbolBank");
  if (address == nullptr) return STATUS_INVALID_ARGUMENT;
  ISrcLineResolver* resolver = m_globalScope.lineResolver();
  if (resolver == nullptr) return STATUS_FALSE;
  const uint64_t va = address->va();
  // Inside inlined code the caller's line is the answer.
  SymMgrObjectPtr<ISourceLocation> callSite = resolver->inlineCallSite(va, compUnitKey);
  if (callSite) {
    location = callSite;
    return STATUS_OK;
  }
  SymMgrObjectPtr<SourceLocationIter> candidates;
  status_t status = resolver->sourceLocationsByAddress(va, compUnitKey, candidates);
  if (status != STATUS_OK) return status;
  if (!candidates) return STATUS_FALSE;
  location = selector ? selector->select(candidates) : candidates->current();
  return location ? STATUS_OK : STATUS_FALSE;
}

status_t ModuleSymbolBank::sectionByName(const wchar_t* name, SymMgrObjectPtr<ISection>& section) {
  ZOR_TRACE("sectionByName", "ModuleSymbolBank");
  if (name == nullptr) return STATUS_INVALID_ARGUMENT;
  section = m_ffl->sectionByName(name);
  return section ? STATUS_OK : STATUS_FALSE;
}

status_t ModuleSymbolBank::segments(SymMgrObjectPtr<SegmentIter>& segments) {
  ZOR_TRACE("segments", "ModuleSymbolBank");
  segments = m_ffl->segments();
  return (segments && segments->current() != nullptr) ? STATUS_OK : STATUS_UNSPECIFIED_ERROR;
}

status_t ModuleSymbolBank::segmentByName(const wchar_t* name, ISegment** segment) {
  ZOR_TRACE("segmentByName", "ModuleSymbolBank");
  if (name == nullptr || segment == nullptr) return STATUS_INVALID_ARGUMENT;
  *segment = m_ffl->segmentByName(name);
  return *segment == nullptr ? STATUS_FALSE : STATUS_OK;
}

status_t ModuleSymbolBank::addressByRva(uint64_t rva, SymMgrObjectPtr<IAddress>& address) {
  return m_ffl->address(address, m_ffl->imageBase() + rva);
}

status_t ModuleSymbolBank::addressByVa(uint64_t va, SymMgrObjectPtr<IAddress>& address) {
  return m_ffl->address(address, va);
}

status_t ModuleSymbolBank::addressBySectionOffset(ISection* section, uint64_t offset,
                                                  SymMgrObjectPtr<IAddress>& address) {
  if (section == nullptr) return STATUS_INVALID_ARGUMENT;
  // PE section headers hold addresses relative to the image base, ELF ones absolute addresses.
  uint64_t va = section->address() + offset;
  if (m_ffl->execFormat() == EXEC_FORMAT_PE) va += m_ffl->imageBase();
  return m_ffl->address(address, va);
}

status_t ModuleSymbolBank::addressByFileOffset(uint64_t offset, SymMgrObjectPtr<IAddress>& address) {
  return m_ffl->addressByFileOffset(address, offset);
}

uint64_t ModuleSymbolBank::sizeEstimate() {
  uint32_t size = 0;
  if (m_debugInfoLoader) size = FileIdentity::of(m_debugInfoLoader->symFileName()).size;
  if (size == 0) size = FileIdentity::of(m_ffl->fileName()).size;
  // The size is a 32-bit status field, widened with its sign.
  return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(size))) * 10;
}

}  // namespace ZOR_3_12
