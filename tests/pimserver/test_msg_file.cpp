// Compound files and message files, read back with outside readers (olefile,
// libgsf's gsf, msgconvert) and with a strict structural check of our own.
#include "../../pimserver/redemption/message_file.h"
#include "../../pimserver/store/vcard.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <set>

using pim::cfb::Bytes;
using pim::cfb::CompoundFile;

namespace {

Bytes pattern(std::size_t n, unsigned seed)
{
    Bytes b(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& v : b) {
        x = x * 1103515245u + 12345u;
        v = static_cast<std::uint8_t>(x >> 16);
    }
    return b;
}

std::string toString(const Bytes& b) { return std::string(b.begin(), b.end()); }

// A reader of just enough of the format to check the directory trees.
struct Dir {
    std::u16string name;
    int type, color;
    std::uint32_t left, right, child, start, size;
};

std::uint32_t rd32(const Bytes& b, std::size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

std::vector<Dir> readDirectory(const Bytes& f)
{
    std::vector<std::uint32_t> fat;
    const std::uint32_t fatCount = rd32(f, 44);
    for (std::uint32_t i = 0; i < fatCount && i < 109; ++i) {
        const std::size_t base = (rd32(f, 76 + 4 * i) + 1) * 512;
        for (std::size_t k = 0; k < 128; ++k) fat.push_back(rd32(f, base + 4 * k));
    }
    std::vector<Dir> dirs;
    for (std::uint32_t s = rd32(f, 48); s != pim::cfb::kEndOfChain; s = fat.at(s)) {
        for (std::size_t e = 0; e < 4; ++e) {
            const std::size_t at = (s + 1) * 512 + e * 128;
            Dir d;
            const std::size_t len = (f[at + 64] | (f[at + 65] << 8)) / 2;
            for (std::size_t k = 0; k + 1 < len; ++k) d.name += static_cast<char16_t>(f[at + 2 * k] | (f[at + 2 * k + 1] << 8));
            d.type = f[at + 66];
            d.color = f[at + 67];
            d.left = rd32(f, at + 68);
            d.right = rd32(f, at + 72);
            d.child = rd32(f, at + 76);
            d.start = rd32(f, at + 116);
            d.size = rd32(f, at + 120);
            dirs.push_back(d);
        }
    }
    return dirs;
}

// Checks the sibling tree under `parent`: search order, red-black rules. Returns the names in order.
std::vector<std::u16string> checkTree(const std::vector<Dir>& dirs, std::uint32_t parent)
{
    std::vector<std::u16string> names;
    int blackHeight = -1;
    std::function<void(std::uint32_t, int, bool)> walk = [&](std::uint32_t id, int blacks, bool parentRed) {
        if (id == pim::cfb::kNoStream) {
            if (blackHeight < 0) blackHeight = blacks;
            EXPECT_EQ(blacks, blackHeight) << "unequal black height";
            return;
        }
        const Dir& d = dirs.at(id);
        const bool red = d.color == 0;
        EXPECT_FALSE(red && parentRed) << "red node with red parent";
        walk(d.left, blacks + (red ? 0 : 1), red);
        names.push_back(d.name);
        walk(d.right, blacks + (red ? 0 : 1), red);
    };
    const std::uint32_t top = dirs.at(parent).child;
    if (top != pim::cfb::kNoStream) {
        EXPECT_EQ(dirs.at(top).color, 1) << "tree root must be black";
    }
    walk(top, 0, false);
    for (std::size_t i = 1; i < names.size(); ++i)
        EXPECT_LT(pim::cfb::compareNames(names[i - 1], names[i]), 0) << "siblings out of order";
    return names;
}

// Dumps every stream with olefile (defects raise) into out/, one file per stream.
const char* kOlefileDump = R"PY(
import olefile, os, sys
ole = olefile.OleFileIO(sys.argv[1], raise_defects=olefile.DEFECT_INCORRECT)
for entry in ole.listdir(streams=True, storages=False):
    path = '/'.join(entry)
    with open(os.path.join(sys.argv[2], path.replace('/', '%')), 'wb') as f:
        f.write(ole.openstream(path).read())
    print(path)
)PY";

std::map<std::string, std::string> dumpWithOlefile(const pimtest::TempDir& dir, const Bytes& file)
{
    pimtest::writeFile(dir / "f.cfb", file.data(), file.size());
    pimtest::writeFile(dir / "dump.py", kOlefileDump);
    std::filesystem::create_directory(dir / "out");
    const auto r = pimtest::runCommand("/usr/bin/python3 " + (dir / "dump.py").string() + " " + (dir / "f.cfb").string() +
                                       " " + (dir / "out").string());
    EXPECT_EQ(r.status, 0) << r.out;
    std::map<std::string, std::string> streams;
    for (const auto& e : std::filesystem::directory_iterator(dir / "out")) {
        std::string name = e.path().filename().string();
        std::replace(name.begin(), name.end(), '%', '/');
        streams[name] = pimtest::readFile(e.path());
    }
    return streams;
}

}  // namespace

TEST(CompoundFile, NameOrderIsLengthThenCaseInsensitive)
{
    using pim::cfb::compareNames;
    EXPECT_LT(compareNames(u"Z", u"AA"), 0);
    EXPECT_EQ(compareNames(u"abc", u"ABC"), 0);
    EXPECT_LT(compareNames(u"ABC", u"abd"), 0);
    EXPECT_GT(compareNames(u"__substg1.0_3001001F", u"__substg1.0_001A001F"), 0);
    CompoundFile f;
    EXPECT_THROW(f.root().stream(u"a/b", {}), std::invalid_argument);
    EXPECT_THROW(f.root().stream(std::u16string(32, u'x'), {}), std::invalid_argument);
    f.root().stream(u"Same", {});
    EXPECT_THROW(f.root().storage(u"SAME"), std::invalid_argument);
}

TEST(CompoundFile, SiblingTreesAreOrderedRedBlackTreesForEveryCount)
{
    for (std::size_t n = 0; n <= 40; ++n) {
        CompoundFile f;
        std::set<std::u16string> expected;
        for (std::size_t i = 0; i < n; ++i) {
            // Mixed lengths and cases so that both ordering rules matter.
            std::u16string name = (i % 3 ? u"s" : u"Stream") + std::u16string(i % 5, u'x');
            name += static_cast<char16_t>(u'A' + i % 26);
            name += static_cast<char16_t>(u'a' + i / 26);
            f.root().stream(name, pattern(i * 7, static_cast<unsigned>(i)));
            expected.insert(name);
        }
        const Bytes bytes = f.serialize();
        const auto dirs = readDirectory(bytes);
        ASSERT_GE(dirs.size(), n + 1);
        EXPECT_EQ(dirs[0].name, u"Root Entry");
        EXPECT_EQ(dirs[0].type, 5);
        const auto names = checkTree(dirs, 0);
        EXPECT_EQ(std::set<std::u16string>(names.begin(), names.end()), expected) << "n=" << n;
        EXPECT_EQ(names.size(), n);
    }
}

TEST(CompoundFile, OutsideReadersSeeEveryStreamIntact)
{
    ASSERT_TRUE(pimtest::olefileRuns());
    CompoundFile f;
    std::map<std::string, Bytes> expected;
    // Sizes around the mini-sector, sector and mini-stream cutoff boundaries.
    const std::size_t sizes[] = {0, 1, 63, 64, 65, 511, 512, 513, 4095, 4096, 4097, 70000};
    unsigned seed = 1;
    for (std::size_t size : sizes) {
        const std::string name = "s" + std::to_string(size);
        expected[name] = pattern(size, seed++);
        f.root().stream(std::u16string(name.begin(), name.end()), expected[name]);
    }
    auto& sub = f.root().storage(u"Sub");
    auto& deeper = sub.storage(u"Deeper");
    for (int i = 0; i < 9; ++i) {
        const std::string name = "item" + std::to_string(i);
        expected["Sub/" + name] = pattern(100 * i + 3, seed++);
        sub.stream(std::u16string(name.begin(), name.end()), expected["Sub/" + name]);
    }
    expected["Sub/Deeper/leaf"] = pattern(5000, seed++);
    deeper.stream(u"leaf", expected["Sub/Deeper/leaf"]);

    const Bytes bytes = f.serialize();
    pimtest::TempDir dir;
    const auto streams = dumpWithOlefile(dir, bytes);
    ASSERT_EQ(streams.size(), expected.size());
    for (const auto& [name, data] : expected) {
        ASSERT_TRUE(streams.count(name)) << name;
        EXPECT_EQ(streams.at(name), toString(data)) << name;
    }

    ASSERT_TRUE(pimtest::gsfRuns());
    const auto list = pimtest::runCommand("/usr/bin/gsf list " + (dir / "f.cfb").string());
    ASSERT_EQ(list.status, 0) << list.out;
    EXPECT_NE(list.out.find("Sub/Deeper/leaf"), std::string::npos) << list.out;
    for (const char* name : {"s70000", "s4095", "Sub/item8", "Sub/Deeper/leaf"}) {
        const auto cat = pimtest::runCommand("/usr/bin/gsf cat " + (dir / "f.cfb").string() + " " + name);
        ASSERT_EQ(cat.status, 0) << name;
        EXPECT_EQ(cat.out, toString(expected.at(name))) << name;
    }
}

TEST(CompoundFile, FilesPastTheHeaderFatListUseDifatSectors)
{
    ASSERT_TRUE(pimtest::olefileRuns());
    // 109 FAT sectors address about 6.8 MB; this needs DIFAT sectors.
    CompoundFile f;
    const Bytes big = pattern(8 * 1024 * 1024 + 17, 99);
    f.root().stream(u"big", big);
    f.root().stream(u"small", pattern(10, 3));
    const Bytes bytes = f.serialize();
    EXPECT_GT(rd32(bytes, 44), 109u);  // FAT sectors
    EXPECT_GE(rd32(bytes, 72), 1u);    // DIFAT sectors
    pimtest::TempDir dir;
    const auto streams = dumpWithOlefile(dir, bytes);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_TRUE(streams.at("big") == toString(big));
    EXPECT_EQ(streams.at("small"), toString(pattern(10, 3)));
}

namespace {

// Decodes a top-level message's property stream and named-property mapping with
// olefile, printing "TAG value" lines (named ones as "LID:xxxx value").
const char* kMsgDump = R"PY(
import olefile, struct, sys
ole = olefile.OleFileIO(sys.argv[1], raise_defects=olefile.DEFECT_INCORRECT)
props = ole.openstream('__properties_version1.0').read()
assert len(props) >= 32 and (len(props) - 32) % 16 == 0, 'property stream size'
nid = '__nameid_version1.0/'
guids = ole.openstream(nid + '__substg1.0_00020102').read()
entries = ole.openstream(nid + '__substg1.0_00030102').read()
assert ole.exists(nid + '__substg1.0_00040102')
named = {}
for i in range(0, len(entries), 8):
    lid, ik = struct.unpack('<II', entries[i:i+8])
    index, guid_index, kind = ik >> 16, (ik >> 1) & 0x7FFF, ik & 1
    assert kind == 0 and guid_index >= 3
    guid = guids[(guid_index - 3) * 16:(guid_index - 2) * 16]
    named[0x8000 + index] = (guid.hex(), lid)
    # the entry is listed again in its hash bucket stream
    bucket = 0x1000 + ((lid ^ (guid_index << 1)) % 0x1F)
    data = ole.openstream(nid + '__substg1.0_%04X0102' % bucket).read()
    assert entries[i:i+8] in [data[k:k+8] for k in range(0, len(data), 8)], 'mapping stream'
for off in range(32, len(props), 16):
    tag, flags = struct.unpack('<II', props[off:off+8])
    pid, ptype = tag >> 16, tag & 0xFFFF
    if ptype == 0x001F:
        size = struct.unpack('<I', props[off+8:off+12])[0]
        raw = ole.openstream('__substg1.0_%08X' % tag).read()
        assert size == len(raw) + 2, 'string size %x' % tag
        value = raw.decode('utf-16-le')
    elif ptype == 0x0003:
        value = str(struct.unpack('<i', props[off+8:off+12])[0])
    else:
        value = '?'
    key = 'LID:%04X:%s' % (named[pid][1], named[pid][0]) if pid >= 0x8000 else '%04X%04X' % (pid, ptype)
    print(key, value.replace('\n', '|'))
)PY";

std::map<std::string, std::string> dumpMessage(const pimtest::TempDir& dir, const Bytes& msg)
{
    pimtest::writeFile(dir / "c.msg", msg.data(), msg.size());
    pimtest::writeFile(dir / "msgdump.py", kMsgDump);
    const auto r = pimtest::runCommand("/usr/bin/python3 " + (dir / "msgdump.py").string() + " " + (dir / "c.msg").string());
    EXPECT_EQ(r.status, 0) << r.out;
    std::map<std::string, std::string> out;
    std::size_t start = 0;
    for (std::size_t nl; (nl = r.out.find('\n', start)) != std::string::npos; start = nl + 1) {
        const std::string line = r.out.substr(start, nl - start);
        const std::size_t sp = line.find(' ');
        out[line.substr(0, sp)] = sp == std::string::npos ? "" : line.substr(sp + 1);
    }
    return out;
}

const std::string kAddressSet = "0420060000000000c000000000000046";

pim::vcard::Card sampleContact()
{
    return pim::vcard::parseCards("BEGIN:VCARD\r\nVERSION:3.0\r\n"
                                  "N:Østergaard;Ida;Marie;Dr.;\r\n"
                                  "FN:Dr. Ida Østergaard\r\n"
                                  "ORG:Nordlys A/S;Research\r\n"
                                  "TITLE:Chief\\, Science\r\n"
                                  "EMAIL;TYPE=INTERNET:ida@nordlys.dk\r\n"
                                  "EMAIL;TYPE=INTERNET,PREF:ida.pref@nordlys.dk\r\n"
                                  "TEL;TYPE=WORK,VOICE:+45 1111\r\n"
                                  "TEL;TYPE=CELL:+45 2222\r\n"
                                  "ADR;TYPE=HOME:;;Vej 1;København;;2100;Danmark\r\n"
                                  "NOTE:Line one\\nLine two\r\n"
                                  "END:VCARD\r\n")
        .at(0);
}

}  // namespace

TEST(MessageFile, ContactPropertiesReadBackWithOlefile)
{
    ASSERT_TRUE(pimtest::olefileRuns());
    const auto fields = pim::msg::contactFieldsFromCard(sampleContact());
    pimtest::TempDir dir;
    auto p = dumpMessage(dir, pim::msg::writeContactMessage(fields));
    const std::string a = ":" + kAddressSet;
    // E-mail 1 is the preferred address; both go through the named-property map.
    const std::map<std::string, std::string> expected = {
        {"001A001F", "IPM.Contact"}, {"0037001F", "Dr. Ida Østergaard"}, {"3001001F", "Dr. Ida Østergaard"},
        {"3A06001F", "Ida"}, {"3A44001F", "Marie"}, {"3A11001F", "Østergaard"}, {"3A45001F", "Dr."},
        {"3A16001F", "Nordlys A/S"}, {"3A18001F", "Research"}, {"3A17001F", "Chief, Science"},
        {"3A08001F", "+45 1111"}, {"3A1C001F", "+45 2222"}, {"3A59001F", "København"},
        {"1000001F", "Line one|Line two"}, {"340D0003", std::to_string(0x00040000)},
        {"LID:8083" + a, "ida.pref@nordlys.dk"}, {"LID:8082" + a, "SMTP"},
        {"LID:8080" + a, "Dr. Ida Østergaard (ida.pref@nordlys.dk)"}, {"LID:8093" + a, "ida@nordlys.dk"},
        {"LID:8005" + a, "Østergaard, Ida"}, {"LID:8029" + a, "3"}};
    for (const auto& [tag, value] : expected) EXPECT_EQ(p[tag], value) << tag;
    EXPECT_EQ(p.count("3A09001F"), 0u) << "empty fields are left out";
}

TEST(MessageFile, MsgconvertReadsOurContact)
{
    ASSERT_TRUE(pimtest::msgconvertRuns());
    pimtest::TempDir dir;
    const Bytes msg = pim::msg::writeContactMessage(pim::msg::contactFieldsFromCard(sampleContact()));
    pimtest::writeFile(dir / "c.msg", msg.data(), msg.size());
    const auto r = pimtest::runCommand("cd " + pimtest::shellQuote(dir.path().string()) +
                                       " && /usr/bin/msgconvert --outfile c.eml c.msg");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string eml = pimtest::readFile(dir / "c.eml");
    EXPECT_NE(eml.find("Line one\nLine two"), std::string::npos) << eml;
    // msgconvert prints characters below U+0100 as single Latin-1 bytes.
    EXPECT_TRUE(eml.find("Subject: Dr. Ida \xC3\x98stergaard") != std::string::npos ||
                eml.find("Subject: Dr. Ida \xD8stergaard") != std::string::npos)
        << eml;
}

TEST(MessageFile, LongBodyAndManyPropertiesLeaveTheMiniStream)
{
    ASSERT_TRUE(pimtest::olefileRuns());
    pim::msg::ContactFields f;
    f.displayName = "Big";
    for (int i = 0; i < 3000; ++i) f.body += "é";  // 6000 bytes as UTF-16: a regular stream
    f.emails = {"a@x", "", "c@x", "ignored@x"};
    pimtest::TempDir dir;
    auto p = dumpMessage(dir, pim::msg::writeContactMessage(f));
    std::string expected;
    for (int i = 0; i < 3000; ++i) expected += "é";
    EXPECT_EQ(p["1000001F"], expected);
    EXPECT_EQ(p["LID:8083:" + kAddressSet], "a@x");
    EXPECT_EQ(p.count("LID:8093:" + kAddressSet), 0u);
    EXPECT_EQ(p["LID:80A3:" + kAddressSet], "c@x");
    EXPECT_EQ(p["LID:8029:" + kAddressSet], "5");
}
