// Feeds arbitrary bytes to the ELF reader as an in-memory image: structure, segments,
// sections (compressed ones decoded), relocations, symbols, PLT entries, the build id and
// the debug-link candidate.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "kave/trace.h"
#include "zor/dwarf/debug_directories.h"
#include "zor/dwarf/dwarf_symbol_file_to_resolve.h"
#include "zor/elf/elf_file_loader.h"
#include "zor/elf/elf_helper.h"
#include "zor/object/globals.h"
#include "zor/store/scope.h"


using namespace ZOR_3_12;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool s_quiet = [] {
    KAVE_3_1::setAssertStream(nullptr);
    // The candidate's global search must not wander through the machine's debug files.
    setenv(internal::kDebugDirectoriesVariable, "/nonexistent-zor-fuzz/debug", 1);
    return true;
  }();
  (void)s_quiet;

  // A private copy: the reader must stay inside exactly these bytes.
  auto bytes = std::make_shared<std::vector<unsigned char>>(data, data + size);
  SymMgrObjectPtr<ElfHelper> helper = new ElfHelper(bytes, bytes->data(), bytes->size());
  SymMgrObjectPtr<ElfFileLoader> loader = new ElfFileLoader(L"", helper.get(), &internal::elfLoaderLock());

  loader->imageBase();
  loader->imageSize();
  loader->architecture();
  SymMgrObjectPtr<SegmentIter> it = loader->segments();
  for (ISegment* s = it->current(); s; s = it->next() ? it->current() : nullptr) {
    SymMgrObjectPtr<IAddress> a;
    if (loader->address(a, s->rva() + loader->imageBase()) == STATUS_OK) {
      a->segment();
      a->fileOffset();
      a->segmentOffset();
    }
    loader->segmentByAddress(s->rva() + loader->imageBase() + s->size());
    loader->segmentByFileOffset(s->fileOffset());
    loader->addressByFileOffset(a, s->fileOffset() + s->fileSize());
  }
  loader->segmentByIndex(1);
  loader->segmentByName(L".text");
  for (const wchar_t* name : {L".text", L".plt", L".debug_info", L""}) loader->sectionByName(name);

  ElfHelper& h = *helper;
  for (uint32_t i = 0; i < h.sectionCount() && i < 64; ++i) {
    h.sectionName(i);
    h.sectionCompression(i);
    // Decodes compressed sections; a second request must hand out the same bytes.
    const elf::Span first = h.sectionBytes(i);
    const elf::Span again = h.sectionBytes(i);
    if (first.data != again.data || first.size != again.size) std::abort();
    if (!first.empty()) (void)(first.data[0] + first.data[first.size - 1]);
    if (RelocationTable* t = h.relocationTable(i)) (void)t->size();
  }
  // The DWARF reader's by-name lookups, which also find .zdebug_ twins.
  for (const char* name : {".debug_addr", ".debug_str_offsets", ".debug_rnglists", ".debug_line_str",
                           ".debug_types", ".debug_loclists"}) {
    const int64_t index = h.sectionIndexByName(name);
    if (index >= 0) (void)h.relocatedSectionBytes(static_cast<uint32_t>(index)).size;
  }
  (void)h.buildId().size();
  for (unsigned n = 0; n < kNamedSectionCount; ++n) {
    if (SectionData* d = h.section(static_cast<NamedSection>(n))) (void)d->size();
    h.relocatedSection(static_cast<NamedSection>(n));
  }
  h.debugInfoRelocations();
  h.debugLineRelocations();

  {
    GlobalScope scope(loader.get(), nullptr, nullptr);
    scope.loadSymbols(SYMBOL_KIND_ALL);
    SymMgrObjectPtr<ISymbolRange> range;
    scope.symbolRangeByAddress(range, loader->imageBase(), SYMBOL_KIND_ALL, nullptr);
    SymMgrObjectPtr<SymbolRangeIter> ranges;
    scope.nonOverlappedSymbolRanges(ranges, 0, ~uint64_t(0), SYMBOL_KIND_ALL, nullptr);
    int guard = 0;
    for (; ranges && ranges->current() && guard < 4096; ++guard)
      if (!ranges->next()) break;
  }

  // The candidate looks for the linked name next to a path that does not exist; a name
  // with a separator could climb out of it and checksum real files, so those are left out.
  bool climbs = false;
  if (SectionData* link = h.section(kSecGnuDebuglink)) {
    elf::Span s = link->span();
    climbs = s.data && std::memchr(s.data, '/', s.size) != nullptr;
  }
  if (!climbs) {
    DWARFSymbolFileToResolve candidate(0, L"/nonexistent-zor-fuzz/image", helper.get());
    candidate.state();
    candidate.fileName();
  }
  return 0;
}
