// Arbitrary bytes as a PE image: detection, the candidate listing, every loader query, and
// the exports loaded into a symbol table.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <zor/symbol.h>

#include "kave/trace.h"
#include "kave/unicode.h"
#include "zor/pe/pe_exec_file_loader.h"
#include "zor/store/symbol_table.h"

using namespace ZOR_3_12;

namespace {

// The loader reads by path: each input goes into one scratch file per process.
const std::string& scratchPath() {
  static const std::string path = [] {
    char name[] = "/tmp/zor_pe_fuzzXXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    return std::string(name);
  }();
  return path;
}

void queryEverything(IFileFormatLoader* loader) {
  SymMgrObjectPtr<SymbolFileIter> files;
  loader->symbolFilesToResolve(files);
  if (files)
    for (ISymbolFileToResolve* c = files->current(); c; files->next(), c = files->current()) {
      c->fileName();
      c->format();
    }
  SymMgrObjectPtr<IDebugInfoLoader> dil;
  loader->debugInfoLoader(dil, 0);

  loader->architecture();
  loader->imageSize();
  const uint64_t base = loader->imageBase();
  SymMgrObjectPtr<SegmentIter> segs = loader->segments();
  for (ISegment* s = segs ? segs->current() : nullptr; s; segs->next(), s = segs->current()) {
    const uint64_t start = base + s->rva();
    loader->segmentByAddress(start);
    loader->segmentByAddress(start + s->size());
    loader->segmentByFileOffset(s->fileOffset());
    loader->segmentByName(s->name());
    SymMgrObjectPtr<ISection> sec = loader->sectionByName(s->name());
    SymMgrObjectPtr<IAddress> a;
    if (loader->address(a, start) == STATUS_OK) {
      a->segment();
      a->segmentOffset();
      a->fileOffset();
    }
    if (loader->addressByFileOffset(a, s->fileOffset() + s->fileSize() / 2) == STATUS_OK) a->fileOffset();
    // Small reads only: segment sizes come from the input.
    SymMgrObjectPtr<IBuffer> b;
    s->readData(0, s->fileSize() < 64 ? s->fileSize() : 64, b);
  }
  loader->segmentByIndex(1);
  loader->segmentByIndex(1000);
  loader->segmentByFileOffset(0);

  SymMgrObjectPtr<SymbolTable> table(new SymbolTable(nullptr));
  loader->loadSymbols(table.get(), 0xFFFFFFFF);
  SymMgrObjectPtr<ISymbolRange> r = table->symbolRangeByAddress(base + 0x1000, 0xFFFFFFFF, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = scratchPath();
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  const std::wstring wide = KAVE_3_1::utf8ToWide(path);
  // Damaged inputs assert all the time; the records are collected instead of printed.
  KAVE_3_1::RecordCapture quiet;
  // Straight to the PE reader, whatever the magic says, so every header path is reached.
  SymMgrObjectPtr<PEExecFileLoader> pe(new PEExecFileLoader(wide.c_str(), nullptr));
  queryEverything(pe.get());
  // And through detection, as the symbol manager opens modules (PE inputs only: the ELF
  // reader has its own target).
  if (internal::looksLikePe(wide.c_str()))
    if (SymMgrObjectPtr<IFileFormatLoader> loader = IFileFormatLoader::create(wide.c_str())) queryEverything(loader.get());
  return 0;
}
