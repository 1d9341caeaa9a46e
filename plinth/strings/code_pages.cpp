// Widening of 8-bit text: the tables for IBM code page 437 and Windows code page 1252.
#include <cstdint>

#include "plinth/strings/plinth_string.h"

namespace plinth {
namespace {

struct CodePageTable {
  unsigned char built;  // nonzero once `map` is filled
  char16_t map[256];
};

// Each entry packs a byte (bits 16 to 23) and its unit (bits 0 to 15), written 0xBB'UUUU; a list
// ends at its first negative entry. Bytes a list leaves out map to the unit of the same value.

// Bytes 0x80 to 0xFF. 0xE1, 0xE6, 0xED and 0xEE carry beta, mu, empty set and element of, where
// the published page has sharp s, micro sign, phi and epsilon.
constexpr std::int32_t codePage437Entries[] = {
    0x80'00C7, 0x81'00FC, 0x82'00E9, 0x83'00E2, 0x84'00E4, 0x85'00E0, 0x86'00E5, 0x87'00E7,
    0x88'00EA, 0x89'00EB, 0x8A'00E8, 0x8B'00EF, 0x8C'00EE, 0x8D'00EC, 0x8E'00C4, 0x8F'00C5,
    0x90'00C9, 0x91'00E6, 0x92'00C6, 0x93'00F4, 0x94'00F6, 0x95'00F2, 0x96'00FB, 0x97'00F9,
    0x98'00FF, 0x99'00D6, 0x9A'00DC, 0x9B'00A2, 0x9C'00A3, 0x9D'00A5, 0x9E'20A7, 0x9F'0192,
    0xA0'00E1, 0xA1'00ED, 0xA2'00F3, 0xA3'00FA, 0xA4'00F1, 0xA5'00D1, 0xA6'00AA, 0xA7'00BA,
    0xA8'00BF, 0xA9'2310, 0xAA'00AC, 0xAB'00BD, 0xAC'00BC, 0xAD'00A1, 0xAE'00AB, 0xAF'00BB,
    0xB0'2591, 0xB1'2592, 0xB2'2593, 0xB3'2502, 0xB4'2524, 0xB5'2561, 0xB6'2562, 0xB7'2556,
    0xB8'2555, 0xB9'2563, 0xBA'2551, 0xBB'2557, 0xBC'255D, 0xBD'255C, 0xBE'255B, 0xBF'2510,
    0xC0'2514, 0xC1'2534, 0xC2'252C, 0xC3'251C, 0xC4'2500, 0xC5'253C, 0xC6'255E, 0xC7'255F,
    0xC8'255A, 0xC9'2554, 0xCA'2569, 0xCB'2566, 0xCC'2560, 0xCD'2550, 0xCE'256C, 0xCF'2567,
    0xD0'2568, 0xD1'2564, 0xD2'2565, 0xD3'2559, 0xD4'2558, 0xD5'2552, 0xD6'2553, 0xD7'256B,
    0xD8'256A, 0xD9'2518, 0xDA'250C, 0xDB'2588, 0xDC'2584, 0xDD'258C, 0xDE'2590, 0xDF'2580,
    0xE0'03B1, 0xE1'03B2, 0xE2'0393, 0xE3'03C0, 0xE4'03A3, 0xE5'03C3, 0xE6'03BC, 0xE7'03C4,
    0xE8'03A6, 0xE9'0398, 0xEA'03A9, 0xEB'03B4, 0xEC'221E, 0xED'2205, 0xEE'2208, 0xEF'2229,
    0xF0'2261, 0xF1'00B1, 0xF2'2265, 0xF3'2264, 0xF4'2320, 0xF5'2321, 0xF6'00F7, 0xF7'2248,
    0xF8'00B0, 0xF9'2219, 0xFA'00B7, 0xFB'221A, 0xFC'207F, 0xFD'00B2, 0xFE'25A0, 0xFF'00A0,
    -1,
};

// From 0x80 to 0x9F, the 27 characters where the page differs from ISO 8859-1 (which the bytes
// left out follow); it leaves 0x81, 0x8D, 0x8F, 0x90 and 0x9D undefined.
constexpr std::int32_t codePage1252Entries[] = {
    0x80'20AC, 0x82'201A, 0x83'0192, 0x84'201E, 0x85'2026, 0x86'2020, 0x87'2021,
    0x88'02C6, 0x89'2030, 0x8A'0160, 0x8B'2039, 0x8C'0152, 0x8E'017D, 0x91'2018,
    0x92'2019, 0x93'201C, 0x94'201D, 0x95'2022, 0x96'2013, 0x97'2014, 0x98'02DC,
    0x99'2122, 0x9A'0161, 0x9B'203A, 0x9C'0153, 0x9E'017E, 0x9F'0178, -1,
};

// Filled without a lock: the program widens text on one thread, and a second fill would write
// the same values.
CodePageTable codePage437Table;
CodePageTable codePage1252Table;

void fill(CodePageTable& table, const std::int32_t* entries) {
  for (int byte = 0; byte < 256; ++byte)
    table.map[byte] = static_cast<char16_t>(byte);
  for (const std::int32_t* entry = entries; *entry >= 0; ++entry)
    table.map[(*entry >> 16) & 0xFF] = static_cast<char16_t>(*entry & 0xFFFF);
  table.built = 1;
}

}  // namespace

char16_t widenChar(unsigned char byte, int codePage) {
  CodePageTable* table = nullptr;
  const std::int32_t* entries = nullptr;
  if (codePage == codePage437) {
    table = &codePage437Table;
    entries = codePage437Entries;
  } else if (codePage == codePage1252) {
    table = &codePage1252Table;
    entries = codePage1252Entries;
  } else {
    return byte;
  }
  if (!table->built)
    fill(*table, entries);
  return table->map[byte];
}

}  // namespace plinth
