#include "serial/errors/SxStringResource.h"

#include "platform/Cp1252.h"
#include "serial/errors/SxErrors.h"

#include <map>

namespace sx {

namespace res {
extern const uint8_t SXSTRMGR_STRINGS[];
extern const std::size_t SXSTRMGR_STRINGS_Size;
extern const uint8_t SERX_ERROR_STRINGS_ENGLISH[];
extern const std::size_t SERX_ERROR_STRINGS_ENGLISH_Size;
} // namespace res

namespace {

class LinkedModule : public TSxResourceModule {
public:
    LinkedModule()
    {
        blobs_["SXSTRMGR_STRINGS"] = {res::SXSTRMGR_STRINGS, res::SXSTRMGR_STRINGS_Size};
        blobs_["SERX_ERROR_STRINGS_ENGLISH"] = {res::SERX_ERROR_STRINGS_ENGLISH, res::SERX_ERROR_STRINGS_ENGLISH_Size};
    }
    bool Find(const std::string& name) const override { return blobs_.count(name) != 0; }
    bool Load(const std::string& name) const override { return Find(name); }
    TSxResourceData Lock(const std::string& name) const override
    {
        auto it = blobs_.find(name);
        return it == blobs_.end() ? TSxResourceData{} : it->second;
    }

private:
    std::map<std::string, TSxResourceData> blobs_;
};

uint32_t Get32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Set while the reader's own table is being opened, so that its failure does not look itself up.
thread_local bool openingReaderTable = false;

// The literal reader messages, used only while the reader's own table is itself unreadable.
const char* FallbackReaderMessage(int id)
{
    switch (id) {
    case 1: return "String not found: %d";
    case 2: return "Cannot lock resource";
    case 3: return "String resource not found: %s";
    case 4: return "Unable to open string resource: %s";
    default: return "Invalid KVString resource";
    }
}

// The reader message id with its one placeholder (%d or %s) replaced by arg. The argument is
// inserted as plain text, never used as a format.
[[noreturn]] void RaiseReader(int id, const std::string& arg = std::string())
{
    std::string text;
    if (!openingReaderTable) {
        try {
            text = SxReaderStrings().GetString(id);
        } catch (const std::exception&) {
            // The reader's own table is failing: use the literal text.
        }
    }
    if (text.empty()) text = FallbackReaderMessage(id);
    for (const char* ph : {"%d", "%s"}) {
        auto pos = text.find(ph);
        if (pos != std::string::npos) {
            text.replace(pos, 2, arg);
            break;
        }
    }
    throw EKvlStringResourceError(text);
}

// The entry count when the data starts with the magic and holds the whole entry table, else -1.
long long CheckHeader(const TSxResourceData& d)
{
    if (d.Size < 8 || d.Data[0] != 'S' || d.Data[1] != 'T' || d.Data[2] != 'R' || d.Data[3] != '0') return -1;
    const uint64_t n = Get32(d.Data + 4);
    if (8 + 12 * n > d.Size) return -1;
    return static_cast<long long>(n);
}

// Whether every text lies inside the data and the ids ascend strictly (the lookup searches by
// halving). Returns the entry count, or -1 when malformed.
long long CheckTable(const TSxResourceData& d)
{
    const long long n = CheckHeader(d);
    if (n < 0) return -1;
    for (uint64_t k = 0; k < static_cast<uint64_t>(n); ++k) {
        const uint8_t* e = d.Data + 8 + 12 * k;
        const uint64_t off = Get32(e + 4), len = Get32(e + 8);
        if (off + 2 * len > d.Size) return -1;
        if (k > 0 && static_cast<int32_t>(Get32(e)) <= static_cast<int32_t>(Get32(e - 12))) return -1;
    }
    return n;
}

// Maps the resource for the lifetime of the guard.
class Mapping {
public:
    Mapping(const TSxResourceModule& m, const std::string& name) : m_(m), name_(name), d_(m.Lock(name))
    {
        if (!d_.Data) RaiseReader(2);
    }
    ~Mapping() { m_.Unlock(name_); }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    const TSxResourceData& Data() const { return d_; }

private:
    const TSxResourceModule& m_;
    const std::string& name_;
    TSxResourceData d_;
};

} // namespace

const TSxResourceModule& SxLinkedResources()
{
    static const LinkedModule module;
    return module;
}

TSxStringResource::TSxStringResource(const TSxResourceModule& module, const std::string& resourceName)
    : module_(&module), name_(resourceName)
{
    if (!module.Find(resourceName)) RaiseReader(3, resourceName);
    if (!module.Load(resourceName)) RaiseReader(4, resourceName);
    Mapping map(module, name_);
    long long n = CheckTable(map.Data());
    if (n < 0) RaiseReader(5);
    count_ = static_cast<std::size_t>(n);
}

std::string TSxStringResource::GetString(int32_t id) const
{
    Mapping map(*module_, name_);
    const TSxResourceData& d = map.Data();
    // A module may hand out other bytes than at creation: check what the lookup touches.
    if (CheckHeader(d) != static_cast<long long>(count_)) RaiseReader(5);
    std::size_t lo = 0, hi = count_;
    while (lo < hi) {
        std::size_t mid = lo + (hi - lo) / 2;
        const uint8_t* e = d.Data + 8 + 12 * mid;
        int32_t entryId = static_cast<int32_t>(Get32(e));
        if (entryId == id) {
            const uint64_t off = Get32(e + 4), len = Get32(e + 8);
            if (off + 2 * len > d.Size) RaiseReader(5);
            const uint8_t* text = d.Data + off;
            std::u16string u(Get32(e + 8), u'\0');
            for (std::size_t k = 0; k < u.size(); ++k)
                u[k] = static_cast<char16_t>(text[2 * k] | text[2 * k + 1] << 8);
            return plat::Utf16ToCp1252(u);
        }
        if (entryId < id) lo = mid + 1;
        else hi = mid;
    }
    if (RaiseOnMissing) RaiseReader(1, std::to_string(id));
    return std::string();
}

const TSxStringResource& SxReaderStrings()
{
    static const TSxStringResource table = [] {
        openingReaderTable = true;
        struct Reset {
            ~Reset() { openingReaderTable = false; }
        } reset;
        return TSxStringResource(SxLinkedResources(), "SXSTRMGR_STRINGS");
    }();
    return table;
}

const TSxStringResource& SxErrorStrings()
{
    static const TSxStringResource table(SxLinkedResources(), "SERX_ERROR_STRINGS_ENGLISH");
    return table;
}

} // namespace sx
