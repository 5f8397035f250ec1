// The memory stream of CreateStreamOnHGlobal. Clones share the bytes and keep their own position.
#include <pim/fault.h>

#include <algorithm>
#include <cstring>

#include "internal.h"
#include "stream_internal.h"

namespace pim::detail {

// {5F3B2E7A-6C1D-4E8B-9A0F-3D2C1B4A5E6F}: asked by the marshaller to recognise its own streams.
const IID IID_IPimMemoryStream = {0x5F3B2E7A, 0x6C1D, 0x4E8B, {0x9A, 0x0F, 0x3D, 0x2C, 0x1B, 0x4A, 0x5E, 0x6F}};

StreamData::~StreamData() {
  for (uint64_t id : marshal_ids) release_marshal_entry(id);
}

namespace {

constexpr uint64_t kMaxSize = 0xFFFFFFFFu;  // an HGLOBAL is 32-bit sized

FILETIME now_filetime() {
  SYSTEMTIME st;
  GetSystemTime(&st);
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  // 100-ns intervals since 1601-01-01.
  uint64_t t = (static_cast<uint64_t>(ts.tv_sec) + 11644473600ull) * 10000000ull + static_cast<uint64_t>(ts.tv_nsec) / 100;
  return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

}  // namespace

MemoryStream::MemoryStream(std::shared_ptr<StreamData> data, uint64_t position)
    : m_data(std::move(data)), m_position(position) {}

STDMETHODIMP MemoryStream::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_ISequentialStream || riid == IID_IStream || riid == IID_IPimMemoryStream) {
    *ppv = static_cast<IStream*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) MemoryStream::AddRef() { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }

STDMETHODIMP_(ULONG) MemoryStream::Release() {
  ULONG n = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (n == 0) {
    delete this;
  }
  return n;
}

STDMETHODIMP MemoryStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  if (pcbRead) *pcbRead = 0;
  if (!pv) return STG_E_INVALIDPOINTER;
  std::lock_guard lock(m_data->mutex);
  const auto& bytes = m_data->bytes;
  ULONG n = 0;
  if (m_position < bytes.size()) n = static_cast<ULONG>(std::min<uint64_t>(cb, bytes.size() - m_position));
  if (n) std::memcpy(pv, bytes.data() + m_position, n);
  m_position += n;
  if (pcbRead) *pcbRead = n;
  return S_OK;
}

STDMETHODIMP MemoryStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  if (pcbWritten) *pcbWritten = 0;
  if (!pv) return STG_E_INVALIDPOINTER;
  if (cb == 0) return S_OK;
  std::lock_guard lock(m_data->mutex);
  auto& bytes = m_data->bytes;
  uint64_t end = m_position + cb;
  if (end > kMaxSize) return STG_E_MEDIUMFULL;
  try {
    if (end > bytes.size()) bytes.resize(end);  // a gap after a seek past the end reads as zeros
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  std::memcpy(bytes.data() + m_position, pv, cb);
  m_position = end;
  if (pcbWritten) *pcbWritten = cb;
  return S_OK;
}

STDMETHODIMP MemoryStream::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) {
  std::lock_guard lock(m_data->mutex);
  int64_t base;
  switch (dwOrigin) {
    case STREAM_SEEK_SET: base = 0; break;
    case STREAM_SEEK_CUR: base = static_cast<int64_t>(m_position); break;
    case STREAM_SEEK_END: base = static_cast<int64_t>(m_data->bytes.size()); break;
    default: return STG_E_INVALIDFUNCTION;
  }
  int64_t target;
  if (__builtin_add_overflow(base, dlibMove.QuadPart, &target) || target < 0 ||
      static_cast<uint64_t>(target) > kMaxSize)
    return STG_E_INVALIDFUNCTION;
  m_position = static_cast<uint64_t>(target);
  if (plibNewPosition) plibNewPosition->QuadPart = m_position;
  return S_OK;
}

STDMETHODIMP MemoryStream::SetSize(ULARGE_INTEGER libNewSize) {
  if (libNewSize.QuadPart > kMaxSize) return STG_E_INVALIDFUNCTION;
  std::lock_guard lock(m_data->mutex);
  try {
    m_data->bytes.resize(libNewSize.QuadPart);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

STDMETHODIMP MemoryStream::CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                  ULARGE_INTEGER* pcbWritten) {
  if (pcbRead) pcbRead->QuadPart = 0;
  if (pcbWritten) pcbWritten->QuadPart = 0;
  if (!pstm) return STG_E_INVALIDPOINTER;
  uint64_t total_read = 0, total_written = 0;
  unsigned char buf[8192];
  HRESULT hr = S_OK;
  while (total_read < cb.QuadPart) {
    ULONG want = static_cast<ULONG>(std::min<uint64_t>(sizeof buf, cb.QuadPart - total_read));
    ULONG got = 0;
    hr = Read(buf, want, &got);
    if (FAILED(hr) || got == 0) break;
    total_read += got;
    ULONG put = 0;
    hr = pstm->Write(buf, got, &put);
    total_written += put;
    if (FAILED(hr)) break;
    if (put < got) {
      hr = STG_E_MEDIUMFULL;
      break;
    }
  }
  if (pcbRead) pcbRead->QuadPart = total_read;
  if (pcbWritten) pcbWritten->QuadPart = total_written;
  return hr;
}

STDMETHODIMP MemoryStream::Commit(DWORD) { return S_OK; }
STDMETHODIMP MemoryStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return STG_E_INVALIDFUNCTION; }
STDMETHODIMP MemoryStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) { return STG_E_INVALIDFUNCTION; }

STDMETHODIMP MemoryStream::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
  if (!pstatstg) return STG_E_INVALIDPOINTER;
  if (grfStatFlag > STATFLAG_NONAME) return STG_E_INVALIDFLAG;
  std::memset(pstatstg, 0, sizeof *pstatstg);
  pstatstg->pwcsName = nullptr;  // a memory stream has no name
  pstatstg->type = STGTY_STREAM;
  {
    std::lock_guard lock(m_data->mutex);
    pstatstg->cbSize.QuadPart = m_data->bytes.size();
  }
  pstatstg->mtime = pstatstg->ctime = pstatstg->atime = now_filetime();
  pstatstg->grfMode = STGM_READWRITE;
  return S_OK;
}

STDMETHODIMP MemoryStream::Clone(IStream** ppstm) {
  if (!ppstm) return STG_E_INVALIDPOINTER;
  *ppstm = nullptr;
  HRESULT hr;
  if (PIM_FAULT("IStream::Clone", &hr)) return hr;
  return guard([&] {
    uint64_t pos;
    {
      std::lock_guard lock(m_data->mutex);
      pos = m_position;
    }
    *ppstm = new MemoryStream(m_data, pos);
    return S_OK;
  });
}

}  // namespace pim::detail

using namespace pim::detail;

HRESULT CreateStreamOnHGlobal(HGLOBAL hGlobal, BOOL fDeleteOnRelease, LPSTREAM* ppstm) {
  (void)fDeleteOnRelease;  // the memory is always the stream's own
  if (!ppstm) return E_INVALIDARG;
  *ppstm = nullptr;
  if (hGlobal) return E_INVALIDARG;
  return guard([&] {
    *ppstm = new MemoryStream(std::make_shared<StreamData>(), 0);
    return S_OK;
  });
}
