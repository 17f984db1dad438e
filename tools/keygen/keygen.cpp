// Build-time generator of the signing key's pieces: zvq_keygen <key file> <output include>.
//
// Reads the key (UTF-8, no byte-order mark, one trailing line break ignored) and writes the constants from
// which the launcher reassembles it: per piece its fixed constant and nine (slot, value) pairs in a shuffled
// fill order. Constants and orders are drawn afresh on every run, so no two builds hold the same bytes.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "service/key_piece_steps.h"

namespace {

constexpr std::size_t kPieces = 8;
constexpr std::size_t kSlots = 10;

// How many characters of an arbitrary key each piece can hold. The one unfilled slot u restores to the step's
// value for zero, f(u, 0); it must lie after the piece's terminating zero or equal the character standing
// there.
// - Pieces 2 and 8: their constant is chosen so that f(u, 0) equals a character of the text: all ten slots.
// - Piece 3: f(u, 0) = 0, so an unfilled last slot serves as the terminator: nine.
// - The others: f(u, 0) is never zero for slots 2..9, so the terminator must be stored and u lie beyond it:
//   eight. (Piece 5 gives zero at slot 1, which would cut its text short there.)
constexpr std::array<std::size_t, kPieces> kCapacity = {8, 10, 9, 8, 8, 8, 8, 10};

class KeyError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string ReadFile(const std::filesystem::path& APath) {
  std::ifstream in(APath, std::ios::binary);
  if (!in) throw KeyError("cannot open the key file");
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw KeyError("cannot read the key file");
  return bytes;
}

// Strict UTF-8 to UTF-16: an invalid key file must stop the build rather than turn into a different key.
std::u16string DecodeUtf8(const std::string& ABytes) {
  std::u16string text;
  std::size_t i = 0;
  auto byteAt = [&](std::size_t AIndex) { return static_cast<unsigned char>(ABytes[AIndex]); };
  while (i < ABytes.size()) {
    const unsigned char lead = byteAt(i);
    std::size_t extra = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      code = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, code = lead & 0x07, minimum = 0x10000;
    } else {
      throw KeyError("the key file is not valid UTF-8 (byte " + std::to_string(i) + ")");
    }
    if (i + extra >= ABytes.size()) {
      throw KeyError("the key file is not valid UTF-8 (truncated sequence at byte " + std::to_string(i) +
                     ")");
    }
    for (std::size_t k = 1; k <= extra; ++k) {
      const unsigned char next = byteAt(i + k);
      if ((next & 0xC0) != 0x80) {
        throw KeyError("the key file is not valid UTF-8 (byte " + std::to_string(i + k) + ")");
      }
      code = (code << 6) | (next & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      throw KeyError("the key file is not valid UTF-8 (byte " + std::to_string(i) + ")");
    }
    if (code >= 0x10000) {
      text += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      text += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      text += static_cast<char16_t>(code);
    }
    i += extra + 1;
  }
  return text;
}

std::u16string ReadKey(const std::filesystem::path& APath) {
  std::string bytes = ReadFile(APath);
  if (bytes.starts_with("\xEF\xBB\xBF"))
    throw KeyError("the key file starts with a byte-order mark; remove it");
  if (bytes.ends_with("\r\n")) {
    bytes.resize(bytes.size() - 2);
  } else if (bytes.ends_with("\n")) {
    bytes.pop_back();
  }
  std::u16string key = DecodeUtf8(bytes);
  const std::size_t capacity = std::accumulate(kCapacity.begin(), kCapacity.end(), std::size_t{0});
  if (key.empty()) throw KeyError("the key is empty");
  if (key.find(u'\0') != std::u16string::npos) throw KeyError("the key contains the character U+0000");
  if (key.size() > capacity) {
    throw KeyError("the key has " + std::to_string(key.size()) + " UTF-16 units; at most " +
                   std::to_string(capacity) + " fit into the pieces");
  }
  return key;
}

// The inverse of RestoreKeySlot: the value stored so that the slot restores to AChar.
std::uint16_t Store(std::size_t APiece, std::uint16_t AIndex, std::uint16_t AChar, std::uint16_t AConstant) {
  switch (APiece) {
    case 0:
      return static_cast<std::uint16_t>(AChar + AIndex + 1);
    case 1:
      return static_cast<std::uint16_t>(AChar ^ AConstant);
    case 2:
      return static_cast<std::uint16_t>(-AChar);
    case 3:
      return static_cast<std::uint16_t>(AChar - 1);
    case 4:
      return static_cast<std::uint16_t>(AChar + AIndex - 1);
    case 5:
      return static_cast<std::uint16_t>(~AChar);
    case 6:
      return static_cast<std::uint16_t>(AChar - 1);
    default:
      return static_cast<std::uint16_t>(AChar + AIndex + AConstant);
  }
}

struct Piece {
  std::uint16_t Constant = 0;
  std::vector<std::pair<std::uint16_t, std::uint16_t>> Filled;  // (slot, stored value) in fill order
};

class Scrambler {
 public:
  Piece Scramble(std::size_t APiece, std::u16string_view AText) {
    const std::size_t length = AText.size();
    Piece piece;
    piece.Constant = Random16();
    if (APiece == 1) piece.Constant |= 1;  // an exclusive-or with zero would store the text as it stands
    std::size_t unfilled = 0;
    if (length + 1 < kSlots) {
      // The terminator is stored; the unfilled slot lies beyond it and its value does not matter.
      unfilled = Pick(length + 1, kSlots - 1);
    } else if (APiece == 2 && length == kSlots - 1) {
      unfilled = kSlots - 1;  // restores to zero: the terminator
    } else if (APiece == 1 || APiece == 7) {
      // Choose the constant so that the unfilled slot restores to the character standing there.
      unfilled = Pick(0, length - 1);
      const auto u = static_cast<std::uint16_t>(unfilled);
      const std::uint16_t wanted = AText[unfilled];
      piece.Constant = APiece == 1 ? wanted : static_cast<std::uint16_t>(0 - wanted - u);
    } else {
      throw std::logic_error("piece over capacity");
    }

    std::array<std::uint16_t, kSlots> target{};
    for (std::size_t i = 0; i < kSlots; ++i) {
      // Slots after the terminator restore to noise that the reader never reaches.
      target[i] = i < length ? AText[i] : i == length ? std::uint16_t{0} : Random16();
    }
    std::vector<std::uint16_t> order;
    for (std::uint16_t i = 0; i < kSlots; ++i) {
      if (i != unfilled) order.push_back(i);
    }
    do {
      std::shuffle(order.begin(), order.end(), FEngine);
    } while (std::is_sorted(order.begin(), order.end()));
    for (std::uint16_t slot : order)
      piece.Filled.emplace_back(slot, Store(APiece, slot, target[slot], piece.Constant));

    Verify(APiece, piece, AText, unfilled);
    return piece;
  }

 private:
  std::uint16_t Random16() {
    return static_cast<std::uint16_t>(std::uniform_int_distribution<unsigned>(0, 0xFFFF)(FEngine));
  }
  std::size_t Pick(std::size_t AFrom, std::size_t ATo) {
    return std::uniform_int_distribution<std::size_t>(AFrom, ATo)(FEngine);
  }

  // Reads the piece back the way the launcher does, so a slip in the arithmetic stops the build here.
  static void Verify(std::size_t APiece, const Piece& AStored, std::u16string_view AText,
                     std::size_t AUnfilled) {
    std::array<std::uint16_t, kSlots> slots{};
    for (auto [slot, value] : AStored.Filled) slots[slot] = value;
    std::u16string text;
    for (std::uint16_t i = 0; i < kSlots; ++i) {
      const std::uint16_t restored = zvq::RestoreKeySlot(APiece, i, slots[i], AStored.Constant);
      if (restored == 0) break;
      text += static_cast<char16_t>(restored);
    }
    if (text != AText || AStored.Filled.size() != kSlots - 1 || AUnfilled >= kSlots) {
      throw std::logic_error("piece " + std::to_string(APiece + 1) + " does not restore to its text");
    }
  }

  std::random_device FDevice;
  std::mt19937 FEngine{FDevice()};
};

std::string FormatPieces(const std::vector<Piece>& APieces) {
  std::ostringstream out;
  out << "// Made by zvq_keygen at build time; never commit this file.\n"
         "// Per piece: its constant, then (slot, value) in fill order.\n";
  char buffer[16];
  for (const Piece& piece : APieces) {
    std::snprintf(buffer, sizeof buffer, "0x%04X,", piece.Constant);
    out << buffer;
    for (auto [slot, value] : piece.Filled) {
      std::snprintf(buffer, sizeof buffer, " %u, 0x%04X,", static_cast<unsigned>(slot),
                    static_cast<unsigned>(value));
      out << buffer;
    }
    out << '\n';
  }
  return out.str();
}

void WriteFile(const std::filesystem::path& APath, const std::string& AText) {
  if (APath.has_parent_path()) std::filesystem::create_directories(APath.parent_path());
  const std::filesystem::path partial = APath.string() + ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out << AText;
    out.close();
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(partial, ignored);
      throw std::runtime_error("cannot write " + partial.string());
    }
  }
  std::filesystem::rename(partial, APath);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: zvq_keygen <key file> <output include>\n");
    return 2;
  }
  const std::filesystem::path keyFile = argv[1];
  const std::filesystem::path output = argv[2];
  try {
    const std::u16string key = ReadKey(keyFile);
    Scrambler scrambler;
    std::vector<Piece> pieces;
    std::size_t next = 0;
    for (std::size_t piece = 0; piece < kPieces; ++piece) {
      const std::size_t take = std::min(kCapacity[piece], key.size() - next);
      pieces.push_back(scrambler.Scramble(piece, std::u16string_view(key).substr(next, take)));
      next += take;
    }
    WriteFile(output, FormatPieces(pieces));
    return 0;
  } catch (const KeyError& error) {
    std::fprintf(stderr, "zvq_keygen: %s: %s\n", keyFile.string().c_str(), error.what());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zvq_keygen: %s\n", error.what());
  }
  std::error_code ignored;
  std::filesystem::remove(output, ignored);
  return 1;
}
