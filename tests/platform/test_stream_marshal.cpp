// Memory streams, marshalling through streams and the free-threaded marshaler, aggregated or alone.
#include <pim/fault.h>

#include <ComPtr.h>
#include <cstring>
#include <thread>

#include "platform_test_util.h"

namespace {

LARGE_INTEGER li(int64_t v) {
  LARGE_INTEGER r;
  r.QuadPart = v;
  return r;
}

uint64_t position(IStream* s) {
  ULARGE_INTEGER pos{};
  EXPECT_EQ(s->Seek(li(0), STREAM_SEEK_CUR, &pos), S_OK);
  return pos.QuadPart;
}

ComPtr<IStream> newStream(const std::string& data = "") {
  ComPtr<IStream> s;
  EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, s.put()), S_OK);
  if (!data.empty()) {
    EXPECT_EQ(s->Write(data.data(), static_cast<ULONG>(data.size()), nullptr), S_OK);
  }
  return s;
}

void seek(IStream* s, int64_t to) { EXPECT_EQ(s->Seek(li(to), STREAM_SEEK_SET, nullptr), S_OK); }

// Up to n bytes from where the stream stands.
std::string read(IStream* s, ULONG n) {
  std::string buf(n, '\0');
  ULONG got = 0;
  EXPECT_EQ(s->Read(buf.data(), n, &got), S_OK);
  buf.resize(got);
  return buf;
}

TEST(MemoryStream, ReadWriteSeekSetSizeStat) {
  ComPtr<IStream> s = newStream();
  ULONG n = 0;
  ASSERT_EQ(s->Write("hello world", 11, &n), S_OK);
  EXPECT_EQ(n, 11u);
  EXPECT_EQ(read(s.get(), 32), "");  // at the end: nothing, and no error
  ULARGE_INTEGER pos{};
  ASSERT_EQ(s->Seek(li(-5), STREAM_SEEK_END, &pos), S_OK);
  EXPECT_EQ(pos.QuadPart, 6u);
  EXPECT_EQ(read(s.get(), 32), "world");
  EXPECT_EQ(s->Seek(li(-1), STREAM_SEEK_SET, &pos), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(position(s.get()), 11u);  // a refused seek moves nothing
  EXPECT_EQ(s->Seek(li(0), 7, nullptr), STG_E_INVALIDFUNCTION);
  // Writing past the end fills the gap with zeros.
  seek(s.get(), 14);
  ASSERT_EQ(s->Write("!", 1, nullptr), S_OK);
  STATSTG st;
  std::memset(&st, 0xAB, sizeof st);
  ASSERT_EQ(s->Stat(&st, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(st.type, static_cast<DWORD>(STGTY_STREAM));
  EXPECT_EQ(st.cbSize.QuadPart, 15u);
  EXPECT_EQ(st.pwcsName, nullptr);
  seek(s.get(), 11);
  EXPECT_EQ(read(s.get(), 4), std::string("\0\0\0!", 4));
  ULARGE_INTEGER size;
  size.QuadPart = 5;
  ASSERT_EQ(s->SetSize(size), S_OK);
  seek(s.get(), 0);
  EXPECT_EQ(read(s.get(), 32), "hello");
  EXPECT_EQ(s->Read(nullptr, 1, &n), STG_E_INVALIDPOINTER);
  EXPECT_EQ(CreateStreamOnHGlobal(reinterpret_cast<HGLOBAL>(1), TRUE, s.put()), E_INVALIDARG);
}

TEST(MemoryStream, CloneSharesDataWithItsOwnPosition) {
  ComPtr<IStream> s = newStream("abcdef");
  seek(s.get(), 2);
  ComPtr<IStream> c;
  ASSERT_EQ(s->Clone(c.put()), S_OK);
  EXPECT_EQ(position(c.get()), 2u);  // starts where the original stands
  EXPECT_EQ(read(c.get(), 2), "cd");
  EXPECT_EQ(position(s.get()), 2u);  // the original did not move
  ASSERT_EQ(c->Write("XY", 2, nullptr), S_OK);  // shared bytes
  seek(s.get(), 4);
  EXPECT_EQ(read(s.get(), 2), "XY");
  s.reset();  // the data outlives the original
  seek(c.get(), 0);
  EXPECT_EQ(read(c.get(), 6), "abcdXY");
}

TEST(MemoryStream, CopyToAndCloneFault) {
  std::string big(20000, 'q');
  big[19999] = 'z';
  ComPtr<IStream> a = newStream(big), b = newStream();
  seek(a.get(), 100);
  ULARGE_INTEGER want, got_read, got_written;
  want.QuadPart = 1000000;
  ASSERT_EQ(a->CopyTo(b.get(), want, &got_read, &got_written), S_OK);
  EXPECT_EQ(got_read.QuadPart, 19900u);
  EXPECT_EQ(got_written.QuadPart, 19900u);
  STATSTG st;
  ASSERT_EQ(b->Stat(&st, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(st.cbSize.QuadPart, 19900u);

  pim::fault::Scope faults;
  pim::fault::arm("IStream::Clone", E_OUTOFMEMORY);
  IStream* c = reinterpret_cast<IStream*>(0xdeadbeef);
  EXPECT_EQ(a->Clone(&c), E_OUTOFMEMORY);
  EXPECT_EQ(c, nullptr);
}

// ---- marshalling ----

class Marshal : public ComTest {};

TEST_F(Marshal, StreamHoldsOneReferenceAndIsReleasedEitherWay) {
  std::atomic<int> destroyed{0};
  auto* obj = new TestObject(&destroyed);
  IStream* stm = nullptr;
  ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IDispatch, obj, &stm), S_OK);
  EXPECT_EQ(position(stm), 0u);
  EXPECT_REF(obj, 2);
  ComPtr<IDispatch> got;
  std::thread([&] {
    EXPECT_EQ(CoGetInterfaceAndReleaseStream(stm, IID_IDispatch, got.put_void()), S_OK);
  }).join();
  EXPECT_EQ(got.get(), obj);
  EXPECT_REF(obj, 2);  // ours and the unmarshalled one; the stream's went with the stream
  got.reset();
  // A failing unmarshal still releases the stream, and with it the marshal data's reference.
  ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IUnknown, obj, &stm), S_OK);
  EXPECT_REF(obj, 2);
  void* p = reinterpret_cast<void*>(0xdeadbeef);
  EXPECT_EQ(CoGetInterfaceAndReleaseStream(stm, IID_IStream, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_REF(obj, 1);
  obj->Release();
  EXPECT_EQ(destroyed, 1);
}

TEST_F(Marshal, KeptStreamUnmarshalsAgainFromEveryClone) {
  std::atomic<int> destroyed{0};
  auto* obj = new TestObject(&destroyed);
  IStream* kept = nullptr;
  ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IDispatch, obj, &kept), S_OK);
  obj->Release();  // the marshal data alone keeps it alive now
  EXPECT_EQ(destroyed, 0);
  for (int round = 0; round < 3; ++round) {
    std::thread([&] {
      IStream* clone = nullptr;
      ASSERT_EQ(kept->Clone(&clone), S_OK);
      ComPtr<IDispatch> d;
      ASSERT_EQ(CoGetInterfaceAndReleaseStream(clone, IID_IDispatch, d.put_void()), S_OK);
      EXPECT_REF(d.get(), 2);
    }).join();
    EXPECT_EQ(position(kept), 0u);  // the kept stream never moves
  }
  // A clone outlives the original: the data (and its reference) stay until the last one goes.
  IStream* clone = nullptr;
  ASSERT_EQ(kept->Clone(&clone), S_OK);
  kept->Release();
  EXPECT_EQ(destroyed, 0);
  ComPtr<IUnknown> u;
  ASSERT_EQ(CoGetInterfaceAndReleaseStream(clone, IID_IUnknown, u.put_void()), S_OK);
  EXPECT_EQ(destroyed, 0);
  u.reset();
  EXPECT_EQ(destroyed, 1);
}

TEST_F(Marshal, FaultPointsAndBadArguments) {
  auto* obj = new TestObject;
  pim::fault::Scope faults;
  pim::fault::arm("CoMarshalInterThreadInterfaceInStream", E_OUTOFMEMORY);
  IStream* stm = reinterpret_cast<IStream*>(0xdeadbeef);
  EXPECT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IUnknown, obj, &stm), E_OUTOFMEMORY);
  EXPECT_EQ(stm, nullptr);
  EXPECT_REF(obj, 1);
  EXPECT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IStream, obj, &stm), E_NOINTERFACE);
  EXPECT_EQ(stm, nullptr);
  ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IUnknown, obj, &stm), S_OK);
  pim::fault::arm("CoGetInterfaceAndReleaseStream", E_FAIL);
  void* p = reinterpret_cast<void*>(0xdeadbeef);
  EXPECT_EQ(CoGetInterfaceAndReleaseStream(stm, IID_IUnknown, &p), E_FAIL);
  EXPECT_EQ(p, nullptr);
  EXPECT_REF(obj, 1);  // the stream went, and the marshal data's reference with it
  EXPECT_EQ(pim::fault::count("CoGetInterfaceAndReleaseStream"), 1u);
  // Garbage is refused, not trusted.
  ComPtr<IStream> junk = newStream(std::string(64, '\0'));
  seek(junk.get(), 0);
  EXPECT_EQ(CoUnmarshalInterface(junk.get(), IID_IUnknown, &p), RPC_E_INVALID_OBJREF);
  EXPECT_EQ(CoUnmarshalInterface(junk.get(), IID_IUnknown, &p), STG_E_READFAULT);  // too short now
  obj->Release();
}

TEST_F(Marshal, ReleaseMarshalDataDisconnectsEveryClone) {
  auto* obj = new TestObject;
  IStream* stm = nullptr;
  ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IUnknown, obj, &stm), S_OK);
  IStream* clone = nullptr;
  ASSERT_EQ(stm->Clone(&clone), S_OK);
  ASSERT_EQ(CoReleaseMarshalData(stm), S_OK);
  EXPECT_REF(obj, 1);
  void* p = nullptr;
  EXPECT_EQ(CoGetInterfaceAndReleaseStream(clone, IID_IUnknown, &p), CO_E_OBJNOTCONNECTED);
  stm->Release();
  EXPECT_REF(obj, 1);
  obj->Release();
}

// An outer object aggregating the free-threaded marshaler, as every component class does.
using Outer = pimtest::FakeOuter;

TEST_F(Marshal, FreeThreadedMarshalerIsAggregated) {
  Outer outer;
  IUnknown* inner = reinterpret_cast<IUnknown*>(0xdeadbeef);
  ASSERT_EQ(CoCreateFreeThreadedMarshaler(&outer, &inner), S_OK);
  ASSERT_NE(inner, nullptr);
  outer.inner = inner;
  EXPECT_EQ(outer.refs, 1u);  // the inner object holds no reference on its outer
  EXPECT_REF(inner, 1);       // its own count, independent of the outer's
  IUnknown* self = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&self)), S_OK);
  EXPECT_EQ(self, inner);
  self->Release();
  void* p = reinterpret_cast<void*>(0xdeadbeef);
  EXPECT_EQ(inner->QueryInterface(IID_IDispatch, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);

  IMarshal* m = nullptr;
  ASSERT_EQ(outer.QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&m)), S_OK);
  EXPECT_EQ(outer.refs, 2u);  // IMarshal's AddRef went to the outer object
  EXPECT_REF(inner, 1);
  IUnknown* viaMarshal = nullptr;
  ASSERT_EQ(m->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaMarshal)), S_OK);
  EXPECT_EQ(viaMarshal, &outer);  // identity is the outer object's
  viaMarshal->Release();
  CLSID cls{};
  ASSERT_EQ(m->GetUnmarshalClass(IID_IUnknown, &outer, MSHCTX_INPROC, nullptr, MSHLFLAGS_NORMAL, &cls), S_OK);
  EXPECT_EQ(cls, CLSID_InProcFreeMarshaler);
  // Marshal through it into a stream and back.
  ComPtr<IStream> s = newStream();
  ASSERT_EQ(m->MarshalInterface(s.get(), IID_IUnknown, &outer, MSHCTX_INPROC, nullptr, MSHLFLAGS_NORMAL), S_OK);
  seek(s.get(), 0);
  IUnknown* back = nullptr;
  ASSERT_EQ(m->UnmarshalInterface(s.get(), IID_IUnknown, reinterpret_cast<void**>(&back)), S_OK);
  EXPECT_EQ(back, &outer);
  back->Release();
  m->Release();
  s.reset();
  EXPECT_EQ(outer.refs, 1u);
  EXPECT_EQ(inner->Release(), 0u);
}

TEST_F(Marshal, FreeThreadedMarshalerFaultAndStandalone) {
  pim::fault::Scope faults;
  pim::fault::arm("CoCreateFreeThreadedMarshaler", E_OUTOFMEMORY);
  IUnknown* inner = reinterpret_cast<IUnknown*>(0xdeadbeef);
  EXPECT_EQ(CoCreateFreeThreadedMarshaler(nullptr, &inner), E_OUTOFMEMORY);
  EXPECT_EQ(inner, nullptr);
  ASSERT_EQ(CoCreateFreeThreadedMarshaler(nullptr, &inner), S_OK);
  IMarshal* m = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&m)), S_OK);
  EXPECT_REF(inner, 2);  // without an outer object the marshaler controls itself
  m->Release();
  EXPECT_EQ(inner->Release(), 0u);
}

}  // namespace
