// The memory stream and its shared data, known to the marshaller.
#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>
#include <windows.h>

namespace pim::detail {

extern const IID IID_IPimMemoryStream;

// The bytes every clone of a stream shares. Marshal data written into them is tied to them:
// its table entry (and the reference it holds) goes when the last stream sharing them goes.
struct StreamData {
  std::mutex mutex;
  std::vector<unsigned char> bytes;
  std::vector<uint64_t> marshal_ids;
  ~StreamData();
};

class MemoryStream final : public IStream {
 public:
  MemoryStream(std::shared_ptr<StreamData> data, uint64_t position);
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
  STDMETHODIMP Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override;
  STDMETHODIMP SetSize(ULARGE_INTEGER libNewSize) override;
  STDMETHODIMP CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) override;
  STDMETHODIMP Commit(DWORD grfCommitFlags) override;
  STDMETHODIMP Revert() override { return S_OK; }
  STDMETHODIMP LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) override;
  STDMETHODIMP UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) override;
  STDMETHODIMP Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;
  STDMETHODIMP Clone(IStream** ppstm) override;

  StreamData& data() { return *m_data; }

 private:
  ~MemoryStream() = default;
  std::atomic<ULONG> m_refs{1};
  std::shared_ptr<StreamData> m_data;
  uint64_t m_position;  // guarded by the data's mutex
};

// Releases the reference a marshal-table entry holds (no-op when it is already gone).
void release_marshal_entry(uint64_t id);

}  // namespace pim::detail
