// The contacts database end to end: the adapter made through the registry, logged on to our PIM
// server, with the contacts put into the store through its own API: the key over the store's entry
// ids and the export in each format. The filter text and the key window row by row are ContactSearch's
// (fakes); the server's reading of that filter is OutlookTest's. Skipped while the server is not in
// the build or not registered.
#ifdef PIM_HAVE_STORE
#include <store.h>

#include <filesystem>

#include "../support/Scratch.h"
#include "support/PimTestEnvironment.h"

namespace {

using pim::store::Folder;

IContactEntry* const kPoison = reinterpret_cast<IContactEntry*>(0xdeadbeef);

// The first `n` bytes of a file.
std::string FileStart(const std::string& path, size_t n) { return pimtest::readFile(path).substr(0, n); }

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

  EContactsDatabaseResult ByName(const char16_t* first, const char16_t* last, IContactEntry** entry) {
    pimtest::Bstr f(first), l(last);
    EContactsDatabaseResult r = EContactsDatabaseResult_ERROR;
    *entry = kPoison;
    EXPECT_EQ(m_db->GetContactByName(first ? f.get() : nullptr, last ? l.get() : nullptr, entry, &r), S_OK);
    return r;
  }
  EContactsDatabaseResult ByKey(ULONG key, IContactEntry** entry) {
    EContactsDatabaseResult r = EContactsDatabaseResult_ERROR;
    *entry = kPoison;
    EXPECT_EQ(m_db->GetContactByMagicBytes(key, entry, &r), S_OK);
    return r;
  }
  // Exports the entry and answers the result; the file is under the test's folder.
  EContactsDatabaseResult Export(IContactEntry* entry, const std::string& path, int format) {
    std::u16string wide(path.begin(), path.end());
    pimtest::Bstr name(wide.c_str());
    EContactsDatabaseResult r = EContactsDatabaseResult_ERROR;
    EXPECT_EQ(entry->SaveAsVCard(name.get(), (EContactFileFormat)format, &r), S_OK);
    return r;
  }
  std::string TempPath(const std::string& leaf) const { return pimtest::Env().dir + "/" + leaf; }

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

TEST_F(ContactServer, ExportWritesTheFileTheFormatAsksFor) {
  AddContact("Ann", "Lee");
  IContactEntry* entry = nullptr;
  ASSERT_EQ(ByName(u"Ann", u"Lee", &entry), EContactsDatabaseResult_SUCCESS);
  ASSERT_NE(entry, nullptr);

  const std::string kCompoundFile("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
  const struct {
    int format;
    bool vcard;
  } cases[] = {{EContactFileFormat_VCARD, true}, {EContactFileFormat_MSG, false}, {EContactFileFormat_INVALID, false}, {7, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "format " << c.format);
    // Twice on one entry, to two files: each export stands on its own.
    for (const char* leaf : {"a", "b"}) {
      std::string path = TempPath(std::string("contact-") + std::to_string(c.format) + leaf);
      EXPECT_EQ(Export(entry, path, c.format), EContactsDatabaseResult_SUCCESS);
      if (c.vcard)
        EXPECT_EQ(FileStart(path, 11), "BEGIN:VCARD");
      else
        EXPECT_EQ(FileStart(path, 8), kCompoundFile);
    }
  }

  const std::string missing = TempPath("no-such-folder/contact.vcf");
  EXPECT_EQ(Export(entry, missing, EContactFileFormat_VCARD), EContactsDatabaseResult_SAVE_VCARD_FAILED);
  EXPECT_FALSE(std::filesystem::exists(missing));
  entry->Release();
}

}  // namespace
#endif
