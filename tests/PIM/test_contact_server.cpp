// The key search end to end: the adapter made through the registry, logged on to our PIM server,
// with the contacts put into the store through its own API, so the keys are those of the store's own
// entry ids. The key window and the name filter row by row are ContactSearch's (fakes), the server's
// reading of that filter OutlookTest's, the export's type codes ContactEntry's, the files the server
// writes ContactExport's, and the whole chain test_pimctl's. Skipped while the server is not in the
// build or not registered.
#ifdef PIM_HAVE_STORE
#include <store.h>

#include "support/PimTestEnvironment.h"

namespace {

using pim::store::Folder;

IContactEntry* const kPoison = reinterpret_cast<IContactEntry*>(0xdeadbeef);

class ContactServer : public pimtest::AdapterTest {
 protected:
  void SetUp() override {
    if (!pimtest::Env().serverRegistered) GTEST_SKIP() << "PIM server not registered";
    AdapterTest::SetUp();
    m_store = pim::store::Store::open(pimtest::Env().storeFile, pim::store::Store::Options{true, 10000});
    for (pim::store::RecordKey k : m_store->keys(Folder::Contacts)) m_store->remove(k);
    ASSERT_EQ(pimtest::Logon(adapter_), EPimAdapterResult_SUCCESS);
    ASSERT_EQ(pimtest::GetContacts(adapter_, &m_db), EPimAdapterResult_SUCCESS);
    ASSERT_NE(m_db, nullptr);
  }
  void TearDown() override {
    if (m_store) {
      for (pim::store::RecordKey k : m_store->keys(Folder::Contacts)) m_store->remove(k);
      m_store.reset();
    }
    if (adapter_ != nullptr) pimtest::Logoff(adapter_);  // the database goes with the logon
    AdapterTest::TearDown();
  }

  pim::store::RecordKey AddContact(const std::string& first, const std::string& last) {
    return m_store->addContact("BEGIN:VCARD\r\nVERSION:3.0\r\nN:" + last + ";" + first + ";;;\r\nFN:" + first + " " +
                               last + "\r\nEND:VCARD\r\n");
  }

  EContactsDatabaseResult ByKey(ULONG key, IContactEntry** entry) {
    EContactsDatabaseResult r = EContactsDatabaseResult_ERROR;
    *entry = kPoison;
    EXPECT_EQ(m_db->GetContactByMagicBytes(key, entry, &r), S_OK);
    return r;
  }

  std::unique_ptr<pim::store::Store> m_store;
  IContactsDatabase* m_db = nullptr;
};

TEST_F(ContactServer, KeySearchOverTheStore) {
  IContactEntry* entry = nullptr;
  EXPECT_EQ(ByKey(0, &entry), EContactsDatabaseResult_NO_ITEM_FOUND);  // empty folder
  EXPECT_EQ(entry, kPoison);

  auto idWith = [&](const std::string& window, size_t length, size_t at) {
    std::string id(length, '7');
    id.replace(at, window.size(), window);
    return id;
  };
  m_store->addDistList("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Team\r\nN:Team;;;;\r\nEND:VCARD\r\n");
  pim::store::RecordKey plain = AddContact("Ann", "Lee");
  m_store->setEntryId(AddContact("Id", "128"), idWith("11223344", 128, 40));
  m_store->setEntryId(AddContact("Twin", "One"), idWith("99AABBCC", 48, 40));
  m_store->setEntryId(AddContact("Twin", "Two"), idWith("99AABBCC", 64, 40));

  const std::string plainId = m_store->computedEntryId(plain);
  ULONG plainKey = std::stoul(plainId.substr(46, 2) + plainId.substr(44, 2) + plainId.substr(42, 2) + plainId.substr(40, 2),
                              nullptr, 16);
  const struct {
    ULONG key;
    EContactsDatabaseResult expected;
  } cases[] = {
      {plainKey, EContactsDatabaseResult_SUCCESS},
      {0x44332211, EContactsDatabaseResult_SUCCESS},  // an id of the store's own, 128 characters
      {0x0A0B0C0D, EContactsDatabaseResult_NO_ITEM_FOUND},
      {0xCCBBAA99, EContactsDatabaseResult_MULTIPLE_ITEMS_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.key);
    EXPECT_EQ(ByKey(c.key, &entry), c.expected);
    if (c.expected == EContactsDatabaseResult_NO_ITEM_FOUND) {
      EXPECT_EQ(entry, kPoison);
    } else {
      ASSERT_NE(entry, kPoison);
      ASSERT_NE(entry, nullptr);
      EXPECT_REF(entry, 1);
      entry->Release();
    }
  }
}

}  // namespace
#endif
