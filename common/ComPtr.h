// The one owning smart pointer for COM interfaces, usable on Windows and with the platform layer.
#pragma once
#include <utility>
#include <unknwn.h>

template <class T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  // Takes a reference of its own.
  explicit ComPtr(T* p) noexcept : m_p(p) {
    if (m_p) m_p->AddRef();
  }
  ComPtr(const ComPtr& o) noexcept : ComPtr(o.m_p) {}
  ComPtr(ComPtr&& o) noexcept : m_p(o.m_p) { o.m_p = nullptr; }
  ~ComPtr() { reset(); }

  ComPtr& operator=(ComPtr o) noexcept {
    swap(o);
    return *this;
  }
  void swap(ComPtr& o) noexcept { std::swap(m_p, o.m_p); }

  // Adopts a reference the caller already owns.
  static ComPtr attach(T* p) noexcept {
    ComPtr c;
    c.m_p = p;
    return c;
  }
  [[nodiscard]] T* detach() noexcept {
    T* p = m_p;
    m_p = nullptr;
    return p;
  }
  void reset() noexcept {
    if (T* p = m_p) {
      m_p = nullptr;
      p->Release();
    }
  }
  // Releases the old value before handing out the address for an out parameter.
  T** put() noexcept {
    reset();
    return &m_p;
  }
  void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

  T* get() const noexcept { return m_p; }
  T* operator->() const noexcept { return m_p; }
  explicit operator bool() const noexcept { return m_p != nullptr; }

  // QueryInterface for riid into a new owning pointer of type U.
  template <class U>
  HRESULT query(REFIID riid, ComPtr<U>* out) const noexcept {
    return m_p->QueryInterface(riid, out->put_void());
  }

 private:
  T* m_p = nullptr;
};
