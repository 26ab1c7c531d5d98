#pragma once
// String tables stored as raw data resources in the binary "STR0" layout:
//   "STR0", entry count n (u32), n x (id i32, text offset u32, text length in UTF-16 units u32)
//   sorted by ascending id, then the UTF-16LE texts. All numbers little-endian.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace sx {

// A mapped resource: Data is null when it could not be mapped.
struct TSxResourceData {
    const uint8_t* Data = nullptr;
    std::size_t Size = 0;
};

// A set of named raw data resources (the program's linked-in tables, or one a test builds).
class TSxResourceModule {
public:
    virtual ~TSxResourceModule() = default;
    // Whether a raw data resource of that name exists.
    virtual bool Find(const std::string& name) const = 0;
    // Loads it; false when it exists but cannot be loaded.
    virtual bool Load(const std::string& name) const = 0;
    // Maps a loaded resource for reading until the matching Unlock.
    virtual TSxResourceData Lock(const std::string& name) const = 0;
    virtual void Unlock(const std::string& name) const { (void)name; }
};

// The tables linked into the program: "SXSTRMGR_STRINGS" and "SERX_ERROR_STRINGS_ENGLISH".
const TSxResourceModule& SxLinkedResources();

class TSxStringResource {
public:
    // Finds, loads and maps the resource and checks it; raises EKvlStringResourceError with
    // "String resource not found: %s", "Unable to open string resource: %s",
    // "Cannot lock resource" or "Invalid KVString resource".
    TSxStringResource(const TSxResourceModule& module, const std::string& resourceName);

    // The text of id converted to cp1252; empty when the id is missing, or
    // EKvlStringResourceError "String not found: %d" when RaiseOnMissing is set.
    std::string GetString(int32_t id) const;

    std::size_t Count() const { return count_; }
    bool RaiseOnMissing = false;

private:
    const TSxResourceModule* module_;
    std::string name_;
    std::size_t count_ = 0;
};

// The two process-wide tables, opened on first use (thread-safe) and kept for the process.
const TSxStringResource& SxReaderStrings();
const TSxStringResource& SxErrorStrings();

} // namespace sx
