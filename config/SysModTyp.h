#pragma once
// Types of the system module file.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

constexpr std::size_t SysModImageSize = 1040;
constexpr std::size_t SysModChecksumOffset = 1038;
constexpr uint16_t SysModHeaderWord1 = 522;

// The image as it lies in the file: header words (little-endian) at 0 and 2, data, checksum at 1038.
using TSysModImage = std::array<uint8_t, SysModImageSize>;

class TSysMod;
using TTextProc = std::function<void(const std::string&)>;
// A hook slot: sender, two text procedures, a tag.
using TSysModHook = std::function<void(TSysMod* sender, const TTextProc& first, const TTextProc& second, int tag)>;
