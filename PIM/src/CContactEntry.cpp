#include "CContactEntry.h"

#include <ComPtr.h>
#include <Redemption.h>

#include "Trace.h"

static const char kTraceFile[] = "PIM/src/CContactEntry";
static const char kTraceClass[] = "CContactEntry";

CContactEntry::CContactEntry() : m_pUnkMarshaler(nullptr), m_OutlookContact(nullptr) {}

CContactEntry::~CContactEntry() {
  PIM_TRACE("~CContactEntry", "~CContactEntry called");
  if (m_OutlookContact != nullptr) {
    ULONG refsLeft = m_OutlookContact->Release();
    PIM_TRACE("~CContactEntry", QLT_CString("called m_OutlookContact->Release(), refsLeft = ") + (LONG)refsLeft);
    m_OutlookContact = nullptr;
  }
}

void CContactEntry::SetUnderlyingOutlookContact(_ContactItem* pContact) {
  PIM_TRACE("SetUnderlyingOutlookContact", "SetUnderlyingOutlookContact called");
  if (m_OutlookContact != nullptr) {
    ULONG refsLeft = m_OutlookContact->Release();
    PIM_TRACE("SetUnderlyingOutlookContact",
              QLT_CString("!!! ERROR !!! m_OutlookContact != NULL, refsLeft after release: ") + (LONG)refsLeft);
    m_OutlookContact = nullptr;
  }
  if (pContact == nullptr) return;
  m_OutlookContact = pContact;
  ULONG refs = m_OutlookContact->AddRef();
  PIM_TRACE("SetUnderlyingOutlookContact", QLT_CString("called m_OutlookContact->AddRef(), refsLeft = ") + (LONG)refs);
}

STDMETHODIMP CContactEntry::SaveAsVCard(BSTR filename, EContactFileFormat format, EContactsDatabaseResult* pResult) {
  PIM_TRACE("SaveAsVCard", "SaveAsVCard called");
  if (pResult == nullptr) return E_POINTER;

  // Anything but a vCard request, the invalid value included, is written as a message file.
  VARIANT type;
  VariantInit(&type);
  type.vt = VT_I4;
  type.lVal = (format == EContactFileFormat_VCARD) ? olVCard : olMSG;

  ComPtr<ISafeContactItem> safeContact;
  HRESULT hr = CoCreateInstance(CLSID_SafeContactItem, nullptr, CLSCTX_INPROC_SERVER, IID_ISafeContactItem,
                                safeContact.put_void());
  if (SUCCEEDED(hr) && !safeContact) hr = E_POINTER;
  if (FAILED(hr)) {
    PIM_TRACE("SaveAsVCard", QLT_CString("local check ABORTING, bad HR: ") + (LONG)hr);
    *pResult = EContactsDatabaseResult_REDEMPTION_ERROR;
    return S_OK;
  }

  hr = safeContact->put_Item(m_OutlookContact);
  if (FAILED(hr)) {
    PIM_TRACE("SaveAsVCard", QLT_CString("local check ABORTING, bad HR: ") + (LONG)hr);
    *pResult = EContactsDatabaseResult_REDEMPTION_ERROR;
    return S_OK;
  }

  PIM_TRACE("SaveAsVCard", QLT_CString("in SaveAsVCard, saving vcard to file:") + TraceText(filename));
  hr = safeContact->SaveAs(filename, type);
  PIM_TRACE("SaveAsVCard", QLT_CString("result of SaveAs (hr) = ") + (LONG)hr);
  safeContact.reset();

  *pResult = FAILED(hr) ? EContactsDatabaseResult_SAVE_VCARD_FAILED : EContactsDatabaseResult_SUCCESS;
  return S_OK;
}
