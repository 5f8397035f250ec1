// The contact entry against a fake safe contact item: the type code for each format, one safe
// item per export, each failure row, rebinding, and the contact's reference balance.
#include <pim/fault.h>

#include "../support/TraceCapture.h"
#include <CContactEntry.h>

#include "support/FakeOutlook.h"

using namespace pimtest;
using testing::_;
using testing::Return;

namespace {

const EContactsDatabaseResult kPoisonResult = (EContactsDatabaseResult)7;  // no result has it

bool IsTypeCode(const VARIANT& v, LONG code) { return v.vt == VT_I4 && v.lVal == code; }
// A trace text ending in a number, as the component writes it.
std::string Traced(const char* text, LONG n) { return (QLT_CString(text) + n).c_str(); }

class ContactEntry : public testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    m_contact = new FakeContact(u"C");
    ASSERT_EQ(CComObject<CContactEntry>::CreateInstance(&m_entry), S_OK);
    m_entry->AddRef();
    m_entry->SetUnderlyingOutlookContact(m_contact);
  }
  void TearDown() override {
    if (m_entry) m_entry->Release();
    EXPECT_REF(m_contact, 1);
    m_contact->Release();
    EXPECT_EQ(LiveFakes().load(), 0) << "a safe contact item was not released";
    EXPECT_EQ(_Module.GetLockCount(), 0) << "a component object is still alive";
    CoUninitialize();
  }

  // Every safe item the factory makes expects the bound contact, then SaveAs(path, code) -> hr.
  void ExpectExport(const char* path, LONG code, HRESULT hr) {
    std::u16string wanted = U16(path);
    IDispatch* contact = m_contact;
    m_configure = [=](MockSafeContact& m) {
      testing::InSequence order;
      EXPECT_CALL(m, put_Item(contact)).WillOnce(Return(S_OK));
      EXPECT_CALL(m, SaveAs(_, _))
          .With(testing::Truly([=](const std::tuple<BSTR, VARIANT>& a) {
            return FromBstr(std::get<0>(a)) == wanted && IsTypeCode(std::get<1>(a), code);
          }))
          .WillOnce(Return(hr));
    };
  }

  HRESULT Save(const char* path, int format) {
    BstrArg name(path);
    m_result = kPoisonResult;
    return m_entry->SaveAsVCard(name, (EContactFileFormat)format, &m_result);
  }

  FakeContact* m_contact = nullptr;
  CComObject<CContactEntry>* m_entry = nullptr;
  // Each safe item the factory makes is handed to m_configure before the component sees it.
  std::function<void(MockSafeContact&)> m_configure;
  FakeClassFactory m_factory{[this](REFIID riid, void** ppv) {
    auto* mock = new testing::StrictMock<MockSafeContact>();
    if (m_configure) m_configure(*mock);
    HRESULT hr = mock->QueryInterface(riid, ppv);
    mock->Release();
    return hr;
  }};
  EContactsDatabaseResult m_result = kPoisonResult;
};

// Each export, on one entry, uses a safe item of its own; a failing SaveAs is reported.
TEST_F(ContactEntry, EachFormatPassesItsTypeCode) {
  ScopedClassObject registered(CLSID_SafeContactItem, &m_factory);
  const HRESULT notWritten = HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
  const struct {
    int format;
    const char* path;
    LONG code;
    HRESULT hr;
    EContactsDatabaseResult result;
  } cases[] = {{EContactFileFormat_VCARD, "/tmp/contact file", olVCard, S_OK, EContactsDatabaseResult_SUCCESS},
               {EContactFileFormat_MSG, "b.msg", olMSG, S_OK, EContactsDatabaseResult_SUCCESS},
               {EContactFileFormat_INVALID, "c", olMSG, S_OK, EContactsDatabaseResult_SUCCESS},
               {7, "d", olMSG, S_OK, EContactsDatabaseResult_SUCCESS},
               {EContactFileFormat_VCARD, "/no/such/folder/c.vcf", olVCard, notWritten,
                EContactsDatabaseResult_SAVE_VCARD_FAILED}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "format " << c.format << " to " << c.path);
    pimtest::TraceCapture capture;
    ExpectExport(c.path, c.code, c.hr);
    EXPECT_EQ(Save(c.path, c.format), S_OK);
    EXPECT_EQ(m_result, c.result);
    EXPECT_TRUE(capture.Contains(std::string("in SaveAsVCard, saving vcard to file:") + c.path));
    EXPECT_TRUE(capture.Contains(Traced("result of SaveAs (hr) = ", c.hr)));
    EXPECT_REF(m_contact, 2);  // the test's and the entry's
  }
  EXPECT_EQ(m_factory.activations, 5) << "one safe item per export";
}

TEST_F(ContactEntry, SafeItemFailuresAreRedemptionErrors) {
  {
    SCOPED_TRACE("class not registered");
    pimtest::TraceCapture capture;
    pim::fault::Scope faults;
    pim::fault::arm("CoCreateInstance", REGDB_E_CLASSNOTREG);
    EXPECT_EQ(Save("c.vcf", EContactFileFormat_VCARD), S_OK);
    EXPECT_EQ(m_result, EContactsDatabaseResult_REDEMPTION_ERROR);
    EXPECT_TRUE(capture.Contains(Traced("local check ABORTING, bad HR: ", REGDB_E_CLASSNOTREG)));
    EXPECT_FALSE(capture.Contains("saving vcard"));
  }
  {
    SCOPED_TRACE("Item refused");
    ScopedClassObject registered(CLSID_SafeContactItem, &m_factory);
    pimtest::TraceCapture capture;
    m_configure = [](MockSafeContact& m) { EXPECT_CALL(m, put_Item(_)).WillOnce(Return(E_INVALIDARG)); };
    EXPECT_EQ(Save("c.vcf", EContactFileFormat_VCARD), S_OK);  // SaveAs is not expected: a strict mock
    EXPECT_EQ(m_result, EContactsDatabaseResult_REDEMPTION_ERROR);
    EXPECT_TRUE(capture.Contains(Traced("local check ABORTING, bad HR: ", E_INVALIDARG)));
  }
}

TEST_F(ContactEntry, NullResultPointerMakesNoSafeItem) {
  ScopedClassObject registered(CLSID_SafeContactItem, &m_factory);
  BstrArg name("c.vcf");
  EXPECT_EQ(m_entry->SaveAsVCard(name, EContactFileFormat_VCARD, nullptr), E_POINTER);
  EXPECT_EQ(m_factory.activations, 0);
}

TEST_F(ContactEntry, RebindingReleasesTheOldContactAndTheLastReleaseTheNewOne) {
  pimtest::TraceCapture capture;
  auto* otherContact = new FakeContact(u"D");
  ComPtr<IUnknown> hold = ComPtr<IUnknown>::attach(otherContact);
  m_entry->SetUnderlyingOutlookContact(otherContact);
  EXPECT_REF(m_contact, 1);
  EXPECT_REF(otherContact, 2);
  EXPECT_TRUE(capture.Contains("!!! ERROR !!! m_OutlookContact != NULL, refsLeft after release: 1"));
  EXPECT_TRUE(capture.Contains("called m_OutlookContact->AddRef(), refsLeft = 2"));
  m_entry->Release();
  m_entry = nullptr;
  EXPECT_REF(otherContact, 1);
  EXPECT_TRUE(capture.Contains("~CContactEntry called"));
  EXPECT_TRUE(capture.Contains("called m_OutlookContact->Release(), refsLeft = 1"));
}

}  // namespace
