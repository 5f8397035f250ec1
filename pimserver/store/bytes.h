// A plain byte encoding for what readers derive from an item and keep in the store
// (see Store::derived): fixed-width integers in host order and length-prefixed texts. Kept
// rows are only ever read back by this build's readers, which check a format tag first.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

namespace pim::store::bytes {

class Writer {
public:
    template <class T>
    Writer& num(T v) {
        static_assert(std::is_trivially_copyable_v<T>);
        out_.append(reinterpret_cast<const char*>(&v), sizeof v);
        return *this;
    }
    template <class Ch>
    Writer& text(std::basic_string_view<Ch> s) {
        num<std::uint32_t>(static_cast<std::uint32_t>(s.size()));
        out_.append(reinterpret_cast<const char*>(s.data()), s.size() * sizeof(Ch));
        return *this;
    }
    Writer& text(const std::string& s) { return text(std::string_view(s)); }
    Writer& text(const std::u16string& s) { return text(std::u16string_view(s)); }
    std::string take() { return std::move(out_); }

private:
    std::string out_;
};

/// Reads what a Writer wrote; any short read sets `ok` false and yields zeros.
class Reader {
public:
    explicit Reader(std::string_view in) : in_(in) {}
    template <class T>
    T num() {
        T v{};
        if (in_.size() < sizeof v) {
            ok = false;
            in_ = {};
            return v;
        }
        std::memcpy(&v, in_.data(), sizeof v);
        in_.remove_prefix(sizeof v);
        return v;
    }
    template <class S>
    S text() {
        using Ch = typename S::value_type;
        std::uint32_t n = num<std::uint32_t>();
        if (!ok || in_.size() / sizeof(Ch) < n) {
            ok = false;
            in_ = {};
            return {};
        }
        S s(n, Ch{});
        std::memcpy(s.data(), in_.data(), n * sizeof(Ch));
        in_.remove_prefix(n * sizeof(Ch));
        return s;
    }
    bool done() const { return ok && in_.empty(); }
    bool ok = true;

private:
    std::string_view in_;
};

}  // namespace pim::store::bytes
