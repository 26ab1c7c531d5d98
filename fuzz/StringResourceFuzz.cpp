// Opens arbitrary bytes as a "STR0" string table. The reader must either refuse the table with its own
// exception and message, or accept exactly the well-formed tables and answer every lookup as the table
// says. It must never read outside the bytes it was given, also when the module later hands out other
// bytes than at creation, and every mapping it takes is given back, whatever happens.
//
// Input: one byte of module behaviour, then the table bytes.

#include "platform/Cp1252.h"
#include "serial/errors/SxErrors.h"
#include "serial/errors/SxStringResource.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

enum : uint8_t {
    kNotFound = 1,       // the module has no resource of that name
    kNotLoadable = 2,    // it exists but cannot be loaded
    kNotMappable = 4,    // it cannot be mapped
    kRaiseOnMissing = 8, // the reader raises for missing ids
    kShrinkLater = 16,   // after creation the module hands out fewer bytes
    kChangeLater = 32,   // after creation the module hands out changed bytes
};

const std::string kName = "FUZZ_TABLE";

// A module holding one table. Each blob is its own exact-size allocation, so that the address sanitizer
// sees any read past its end.
class Module : public sx::TSxResourceModule {
public:
    uint8_t Flags = 0;
    std::unique_ptr<uint8_t[]> Blob;
    std::size_t BlobSize = 0;
    std::unique_ptr<uint8_t[]> Later; // served once Created is set, when not null
    std::size_t LaterSize = 0;
    bool Created = false;
    mutable int Locked = 0;

    bool Find(const std::string& name) const override { return name == kName && !(Flags & kNotFound); }
    bool Load(const std::string& name) const override { return name == kName && !(Flags & kNotLoadable); }
    sx::TSxResourceData Lock(const std::string& name) const override {
        Check(name == kName, "maps the resource it was created for");
        if (Flags & kNotMappable) return {}; // nothing mapped, nothing to give back
        ++Locked;
        if (Created && Later) return {Later.get(), LaterSize};
        return {Blob.get(), BlobSize};
    }
    void Unlock(const std::string& name) const override {
        Check(name == kName, "unmaps the resource it was created for");
        --Locked;
    }
};

uint32_t Get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

struct Entry {
    int32_t id;
    std::string text;
};

// The table's entries when it is well formed: the magic, n entries that fit, every text inside the data,
// ids strictly ascending.
bool WellFormed(const uint8_t* d, std::size_t size, std::vector<Entry>& entries) {
    if (size < 8 || std::memcmp(d, "STR0", 4) != 0) return false;
    const uint64_t n = Get32(d + 4);
    if (n > (size - 8) / 12) return false;
    for (uint64_t k = 0; k < n; ++k) {
        const uint8_t* e = d + 8 + 12 * k;
        const int32_t id = int32_t(Get32(e));
        const uint64_t off = Get32(e + 4), len = Get32(e + 8);
        if (off > size || len > (size - off) / 2) return false;
        if (k > 0 && id <= entries.back().id) return false;
        std::u16string u;
        for (uint64_t i = 0; i < len; ++i) u.push_back(char16_t(d[off + 2 * i] | d[off + 2 * i + 1] << 8));
        entries.push_back({id, plat::Utf16ToCp1252(u)});
    }
    return true;
}

// Runs f and checks that it raises the reader's exception with the given message, or with a message that
// starts with the given prefix when prefix is set.
template <class F>
void ExpectRaise(F f, const std::string& message, bool prefix, const char* what) {
    try {
        f();
    } catch (const sx::EKvlStringResourceError& e) {
        const std::string m = e.what();
        Check(prefix ? m.rfind(message, 0) == 0 : m == message, what);
        return;
    }
    Check(false, what);
}

// entries ascend by id.
bool HasId(const std::vector<Entry>& entries, int64_t id) {
    return std::binary_search(entries.begin(), entries.end(), id, [](const auto& a, const auto& b) {
        if constexpr (std::is_same_v<std::decay_t<decltype(a)>, Entry>)
            return int64_t(a.id) < b;
        else
            return a < int64_t(b.id);
    });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Module module;
    module.Flags = data[0];
    module.BlobSize = size - 1;
    module.Blob.reset(new uint8_t[module.BlobSize]);
    if (module.BlobSize) std::memcpy(module.Blob.get(), data + 1, module.BlobSize);
    const uint8_t* blob = module.Blob.get();

    if (module.Flags & kNotFound) {
        ExpectRaise([&] { sx::TSxStringResource r(module, kName); }, "String resource not found: " + kName, false,
                    "a missing resource is named");
        Check(module.Locked == 0, "balanced mapping");
        return 0;
    }
    if (module.Flags & kNotLoadable) {
        ExpectRaise([&] { sx::TSxStringResource r(module, kName); }, "Unable to open string resource: " + kName,
                    false, "an unloadable resource is named");
        Check(module.Locked == 0, "balanced mapping");
        return 0;
    }
    if (module.Flags & kNotMappable) {
        ExpectRaise([&] { sx::TSxStringResource r(module, kName); }, "Cannot lock resource", false,
                    "an unmappable resource is refused");
        Check(module.Locked == 0, "balanced mapping");
        return 0;
    }

    std::vector<Entry> entries;
    const bool wellFormed = WellFormed(blob, module.BlobSize, entries);
    std::unique_ptr<sx::TSxStringResource> reader;
    try {
        reader = std::make_unique<sx::TSxStringResource>(module, kName);
    } catch (const sx::EKvlStringResourceError& e) {
        Check(std::string(e.what()) == "Invalid KVString resource", "a malformed table is refused as invalid");
    }
    Check(module.Locked == 0, "balanced mapping after creation");
    Check(bool(reader) == wellFormed, "exactly the well-formed tables are accepted");
    if (!reader) return 0;
    Check(reader->Count() == entries.size(), "entry count");
    reader->RaiseOnMissing = (module.Flags & kRaiseOnMissing) != 0;

    if (module.Flags & (kShrinkLater | kChangeLater)) {
        // Other bytes after creation: a shorter table, or one with a byte changed in its entry area.
        std::size_t n = module.BlobSize;
        if (module.Flags & kShrinkLater) n = n ? Get32(blob + (n >= 4 ? n - 4 : 0)) % n : 0;
        module.Later.reset(new uint8_t[n ? n : 1]);
        module.LaterSize = n;
        if (n) std::memcpy(module.Later.get(), blob, n);
        if ((module.Flags & kChangeLater) && n > 8) module.Later[8 + blob[n - 1] % (n - 8)] ^= 0xFF;
        module.Created = true;
        // Any answer or the reader's exception is fine; reading outside the bytes or crashing is not.
        for (const auto& e : entries) {
            try {
                (void)reader->GetString(e.id);
            } catch (const sx::EKvlStringResourceError&) {
            }
            Check(module.Locked == 0, "balanced mapping after a changed table");
        }
        return 0;
    }

    // Every entry answers with its text; ids next to them and at the ends of the range answer as missing.
    std::vector<int64_t> probes = {INT32_MIN, INT32_MAX, 0, -1, 1};
    for (std::size_t k = 0; k < entries.size() && k < 512; ++k) {
        Check(reader->GetString(entries[k].id) == entries[k].text, "an entry's text");
        probes.push_back(int64_t(entries[k].id) - 1);
        probes.push_back(int64_t(entries[k].id) + 1);
    }
    for (const int64_t p : probes) {
        if (p < INT32_MIN || p > INT32_MAX || HasId(entries, p)) continue;
        const int32_t id = int32_t(p);
        if (reader->RaiseOnMissing)
            ExpectRaise([&] { (void)reader->GetString(id); }, "String not found: " + std::to_string(id), false,
                        "a missing id is named");
        else
            Check(reader->GetString(id).empty(), "a missing id answers empty");
        Check(module.Locked == 0, "balanced mapping after a lookup");
    }
    return 0;
}
