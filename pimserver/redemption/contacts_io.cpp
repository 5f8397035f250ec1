#include "contacts_io.h"

#include "atomic_file.h"
#include "vcard.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace pim::contacts {

namespace {

struct Block {
    std::string_view text;
    std::size_t firstLine;  // 1-based line of its BEGIN
};

bool lineIs(std::string_view line, std::string_view what)
{
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    if (line.size() != what.size()) return false;
    for (std::size_t i = 0; i < line.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(line[i])) != what[i]) return false;
    return true;
}

// Cuts the text into BEGIN:VCARD ... END:VCARD blocks so that one bad card
// does not cost the others. Text outside any block becomes a block of its own,
// which the reader then reports.
std::vector<Block> splitCards(std::string_view text)
{
    std::vector<Block> blocks;
    std::size_t line = 0, depth = 0, blockStart = 0, blockLine = 0;
    bool stray = false;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = text.find('\n', pos);
        const std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
        std::string_view l = text.substr(pos, next - pos);
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.remove_suffix(1);
        ++line;
        if (pos == 0 && l.substr(0, 3) == "\xEF\xBB\xBF") l.remove_prefix(3);
        if (lineIs(l, "BEGIN:VCARD")) {
            if (depth++ == 0) {
                if (stray) blocks.push_back({text.substr(blockStart, pos - blockStart), blockLine});
                stray = false;
                blockStart = pos;
                blockLine = line;
            }
        } else if (lineIs(l, "END:VCARD") && depth > 0) {
            if (--depth == 0) {
                blocks.push_back({text.substr(blockStart, next - blockStart), blockLine});
                blockStart = next;
            }
        } else if (depth == 0 && !l.empty() && l.find_first_not_of(" \t") != std::string_view::npos) {
            if (!stray) {
                blockStart = pos;
                blockLine = line;
            }
            stray = true;
        }
        pos = next;
    }
    if (depth > 0 || stray) blocks.push_back({text.substr(blockStart), blockLine});
    return blocks;
}

bool isGroup(const vcard::Card& c)
{
    for (const char* name : {"KIND", "X-ADDRESSBOOKSERVER-KIND"})
        if (const vcard::Property* p = c.find(name)) {
            std::string v = p->text();
            for (char& ch : v) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            if (v == "group") return true;
        }
    return false;
}

struct Cancelled {};

}  // namespace

store::ImportResult importVcf(store::Store& store, std::string_view text, const store::Progress& progress)
{
    store::ImportResult result;
    const std::vector<Block> blocks = splitCards(text);
    std::vector<vcard::Card> cards;
    for (const Block& b : blocks) {
        try {
            for (vcard::Card& c : vcard::parseCards(b.text)) cards.push_back(std::move(c));
        } catch (const vcard::ParseError& e) {
            ++result.skipped;
            const std::string what = e.what();
            const std::size_t colon = what.find(": ");
            result.errors.push_back("line " + std::to_string(b.firstLine + e.line() - 1) + ": " +
                                    (colon == std::string::npos ? what : what.substr(colon + 2)));
        }
    }
    try {
        store.transaction([&] {
            std::size_t done = 0;
            for (const vcard::Card& c : cards) {
                const std::string v3 = vcard::writeCard(c);
                if (isGroup(c)) store.addDistList(v3);
                else store.addContact(v3);
                ++done;
                if (progress && !progress(done, cards.size())) throw Cancelled{};
            }
        });
        result.imported = cards.size();
    } catch (const Cancelled&) {
        result.cancelled = true;
        result.imported = 0;
    }
    return result;
}

store::ImportResult importVcfFile(store::Store& store, const std::string& file, const store::Progress& progress)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        const int err = errno;
        throw store::StoreError(err == ENOENT ? store::Errc::NotFound : store::Errc::AccessDenied,
                                "cannot read " + file + ": " + std::strerror(err));
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw store::StoreError(store::Errc::Io, "cannot read " + file);
    return importVcf(store, text, progress);
}

namespace {
std::string exportCards(store::Store& store, const store::Progress& progress, bool& cancelled)
{
    cancelled = false;
    std::string out;
    const std::vector<store::RecordKey> keys = store.keys(store::Folder::Contacts);
    std::size_t done = 0;
    for (store::RecordKey key : keys) {
        const auto item = store.get(key);
        ++done;
        if (item && (item->kind == store::Kind::Contact || item->kind == store::Kind::DistList)) {
            try {
                out += vcard::writeCards(vcard::parseCards(item->data));
            } catch (const vcard::ParseError& e) {
                throw store::StoreError(store::Errc::Invalid,
                                        "contact " + std::to_string(key) + " holds an unreadable vCard: " + e.what());
            }
        }
        if (progress && !progress(done, keys.size())) {
            cancelled = true;
            break;
        }
    }
    return out;
}
}  // namespace

std::string exportVcf(store::Store& store, const store::Progress& progress)
{
    bool cancelled;
    return exportCards(store, progress, cancelled);
}

bool exportVcfFile(store::Store& store, const std::string& file, const store::Progress& progress)
{
    bool cancelled;
    const std::string text = exportCards(store, progress, cancelled);
    if (cancelled) return false;
    if (const int err = files::writeAtomically(file, text))
        throw store::StoreError(err == ENOENT || err == ENOTDIR ? store::Errc::NotFound : store::Errc::AccessDenied,
                                "cannot write " + file + ": " + std::strerror(err));
    return true;
}

}  // namespace pim::contacts
