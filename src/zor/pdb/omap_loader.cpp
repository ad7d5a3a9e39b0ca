#include "zor/pdb/omap_loader.h"

#include <algorithm>

#include "zor/pdb/com_ptr.h"

namespace ZOR_3_12 {

OMAPLoader::OMAPLoader(dia::IDiaSession* session) {
  internal::ComPtr<dia::IDiaEnumDebugStreams> streams;
  if (!session || session->getEnumDebugStreams(streams.out()) != dia::S_OK || !streams) return;
  m_present = readTable(streams.get(), L"OMAPFROM", m_from);
  if (m_present) readTable(streams.get(), L"OMAPTO", m_to);
}

bool OMAPLoader::readTable(dia::IDiaEnumDebugStreams* streams, const wchar_t* name, std::vector<Record>& out) {
  dia::VARIANT index;
  index.vt = dia::VT_BSTR;
  index.bstrVal = const_cast<wchar_t*>(name);  // only read by the callee
  internal::ComPtr<dia::IDiaEnumDebugStreamData> data;
  if (streams->Item(index, data.out()) != dia::S_OK || !data) return false;
  // Read in batches: the record count is the PDB's word and need not be true.
  constexpr dia::ULONG kBatch = 4096;
  std::vector<Record> batch(kBatch);
  for (;;) {
    dia::DWORD size = 0;
    dia::ULONG fetched = 0;
    dia::HRESULT hr = data->Next(kBatch, static_cast<dia::DWORD>(kBatch * sizeof(Record)), &size,
                                 reinterpret_cast<dia::BYTE*>(batch.data()), &fetched);
    if (dia::FAILED(hr)) break;
    size_t records = std::min<size_t>(fetched, size / sizeof(Record));
    records = std::min<size_t>(records, kBatch);
    out.insert(out.end(), batch.begin(), batch.begin() + records);
    if (hr != dia::S_OK || records < kBatch) break;
  }
  std::stable_sort(out.begin(), out.end(), [](const Record& a, const Record& b) { return a.rva < b.rva; });
  return true;
}

std::vector<std::pair<uint32_t, uint64_t>> OMAPLoader::mapRange(uint64_t start, uint64_t end) const {
  std::vector<std::pair<uint32_t, uint64_t>> pieces;
  if (start >= end || m_from.empty()) return pieces;
  auto it = std::upper_bound(m_from.begin(), m_from.end(), start,
                             [](uint64_t v, const Record& r) { return v < r.rva; });
  if (it == m_from.begin()) {
    // The stretch begins before the first record: that part maps nowhere.
    if (it->rva >= end) return pieces;
  } else {
    --it;
  }
  for (; it != m_from.end() && it->rva < end; ++it) {
    uint64_t pieceStart = std::max<uint64_t>(start, it->rva);
    uint64_t pieceEnd = end;
    if (it + 1 != m_from.end()) pieceEnd = std::min<uint64_t>(end, (it + 1)->rva);
    if (pieceStart >= pieceEnd || it->rvaTo == 0) continue;
    uint64_t to = uint64_t(it->rvaTo) + (pieceStart - it->rva);
    if (to > 0xFFFFFFFFull) continue;
    pieces.emplace_back(static_cast<uint32_t>(to), pieceEnd - pieceStart);
  }
  return pieces;
}

}  // namespace ZOR_3_12
