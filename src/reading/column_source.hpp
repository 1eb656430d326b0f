// Where one input column's cells sit: a run of pieces (Arrow chunks, a NumPy array, or values
// read beforehand) and the reading of any row range of them by the cell rule. Pure C++: the
// pool's workers read blocks of rows through it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "reading/cell_rule.hpp"

namespace corvane {

enum class Storage : std::uint8_t {
  kFloat64,
  kFloat32,
  kFloat16,
  kInt8,
  kInt16,
  kInt32,
  kInt64,
  kUInt8,
  kUInt16,
  kUInt32,
  kUInt64,
  kBool,        // a byte per value, nonzero true (NumPy)
  kBitBool,     // a bit per value (Arrow)
  kNull,        // every cell missing
  kDecimal,     // `decimal_words` 64-bit words per value, two's complement, at `scale`
  kText,        // 32-bit offsets
  kLargeText,   // 64-bit offsets
  kTextView,    // 16-byte views into variadic buffers
  kDictionary,  // indices (an integer storage in `index_storage`) into a decoded dictionary
  kDecoded,     // values and states read beforehand, on the calling thread
};

template <class T>
T load(const char* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);  // a strided view may put a value at any byte
  return v;
}

// One piece of a column: rows [start, start + length) of the table.
struct Piece {
  std::size_t start = 0;
  std::size_t length = 0;
  Storage storage = Storage::kFloat64;
  // Fixed-width values (and a dictionary's indices): element i at values + (offset + i) * stride.
  const char* values = nullptr;
  std::ptrdiff_t stride = 0;
  std::int64_t offset = 0;  // Arrow's offset into every buffer, bitmaps included
  // Arrow validity bitmap (null: none), bit offset + i; or a NumPy mask of bytes at a stride.
  const std::uint8_t* validity = nullptr;
  const char* mask = nullptr;
  std::ptrdiff_t mask_stride = 0;
  // Text: offsets and data, or views and their variadic buffers.
  const void* text_offsets = nullptr;
  const char* text_data = nullptr;
  const char* const* view_buffers = nullptr;
  // Decimals.
  int decimal_words = 2;
  int scale = 0;
  // Dictionary: the index type, and the dictionary's values read once (kDecoded-like).
  Storage index_storage = Storage::kInt32;
  // Decoded values, per row (kDecoded) or per dictionary entry (kDictionary).
  const double* decoded = nullptr;
  const std::uint8_t* decoded_states = nullptr;
  std::size_t decoded_count = 0;
  const Piece* dictionary = nullptr;  // the dictionary's own values, for naming a bad one
};

// The text of text cell i of a text piece.
inline std::string_view text_at(const Piece& p, std::size_t i) noexcept {
  const std::int64_t k = p.offset + static_cast<std::int64_t>(i);
  if (p.storage == Storage::kText) {
    const auto* offsets = static_cast<const std::int32_t*>(p.text_offsets);
    return {p.text_data + offsets[k], static_cast<std::size_t>(offsets[k + 1] - offsets[k])};
  }
  if (p.storage == Storage::kLargeText) {
    const auto* offsets = static_cast<const std::int64_t*>(p.text_offsets);
    return {p.text_data + offsets[k], static_cast<std::size_t>(offsets[k + 1] - offsets[k])};
  }
  // A view: length, then the text itself when it fits in 12 bytes, else a 4-byte prefix, the
  // buffer's index and the offset into it.
  const char* view = p.values + k * 16;
  const auto length = load<std::int32_t>(view);
  if (length <= 12) return {view + 4, static_cast<std::size_t>(length)};
  const auto buffer = load<std::int32_t>(view + 8);
  const auto at = load<std::int32_t>(view + 12);
  return {p.view_buffers[buffer] + at, static_cast<std::size_t>(length)};
}

inline bool is_valid(const Piece& p, std::size_t i) noexcept {
  if (p.validity != nullptr) {
    const std::int64_t bit = p.offset + static_cast<std::int64_t>(i);
    if ((p.validity[bit >> 3] >> (bit & 7) & 1) == 0) return false;
  }
  if (p.mask != nullptr && p.mask[static_cast<std::ptrdiff_t>(i) * p.mask_stride] != 0) {
    return false;
  }
  return true;
}

// The integer index of a dictionary cell.
inline std::int64_t index_at(const Piece& p, std::size_t i) noexcept {
  const char* at = p.values + (p.offset + static_cast<std::int64_t>(i)) * p.stride;
  switch (p.index_storage) {
    case Storage::kInt8:
      return load<std::int8_t>(at);
    case Storage::kInt16:
      return load<std::int16_t>(at);
    case Storage::kInt32:
      return load<std::int32_t>(at);
    case Storage::kUInt8:
      return load<std::uint8_t>(at);
    case Storage::kUInt16:
      return load<std::uint16_t>(at);
    case Storage::kUInt32:
      return load<std::uint32_t>(at);
    case Storage::kUInt64:
      return static_cast<std::int64_t>(
          std::min<std::uint64_t>(load<std::uint64_t>(at), 1ull << 62));
    default:
      return load<std::int64_t>(at);
  }
}

// A cell stored as a number, as a double by the rule: float16/32 as the decimal they show,
// decimals correctly rounded, integers and float64 as they are.
inline double number_at(const Piece& p, std::size_t i) noexcept {
  const char* at = p.values + (p.offset + static_cast<std::int64_t>(i)) * p.stride;
  switch (p.storage) {
    case Storage::kFloat64:
      return load<double>(at);
    case Storage::kFloat32:
      return float32_as_shown(load<float>(at));
    case Storage::kFloat16:
      return float16_as_shown(load<std::uint16_t>(at));
    case Storage::kInt8:
      return load<std::int8_t>(at);
    case Storage::kInt16:
      return load<std::int16_t>(at);
    case Storage::kInt32:
      return load<std::int32_t>(at);
    case Storage::kInt64:
      return static_cast<double>(load<std::int64_t>(at));
    case Storage::kUInt8:
      return load<std::uint8_t>(at);
    case Storage::kUInt16:
      return load<std::uint16_t>(at);
    case Storage::kUInt32:
      return load<std::uint32_t>(at);
    case Storage::kUInt64:
      return static_cast<double>(load<std::uint64_t>(at));
    case Storage::kBool:
      return load<std::uint8_t>(at) != 0 ? 1.0 : 0.0;
    case Storage::kDecimal: {
      std::uint64_t words[4];
      std::memcpy(words, at, static_cast<std::size_t>(p.decimal_words) * 8);
      return decimal_value(words, p.decimal_words, p.scale);
    }
    default:
      return std::nan("");
  }
}

inline bool is_number_storage(Storage s) noexcept {
  return s <= Storage::kBool || s == Storage::kDecimal;
}

// Cell i of a piece (i counted from the piece's start).
inline Cell cell_at(const Piece& p, std::size_t i, const ColumnRule& rule) noexcept {
  if (!is_valid(p, i)) return {0.0, kCellMissing};
  switch (p.storage) {
    case Storage::kNull:
      return {0.0, kCellMissing};
    case Storage::kBitBool: {
      const std::int64_t bit = p.offset + static_cast<std::int64_t>(i);
      const auto* bits = reinterpret_cast<const std::uint8_t*>(p.values);
      return read_bool((bits[bit >> 3] >> (bit & 7) & 1) != 0, rule);
    }
    case Storage::kText:
    case Storage::kLargeText:
    case Storage::kTextView:
      return read_text(text_at(p, i), rule);
    case Storage::kDictionary: {
      const std::int64_t k = index_at(p, i);
      if (k < 0 || static_cast<std::size_t>(k) >= p.decoded_count) return {0.0, kCellBad};
      return {p.decoded[k], static_cast<CellState>(p.decoded_states[k])};
    }
    case Storage::kDecoded:
      return {p.decoded[i], static_cast<CellState>(p.decoded_states[i])};
    default:
      return read_value(number_at(p, i), rule);
  }
}

// Reads m cells of a piece from its cell `from` into values and states.
template <class T>
void read_plain(const Piece& p, std::size_t from, std::size_t m, double* values,
                std::uint8_t* states) noexcept {
  const char* at = p.values + (p.offset + static_cast<std::int64_t>(from)) * p.stride;
  for (std::size_t i = 0; i < m; ++i, at += p.stride) {
    const double x = static_cast<double>(load<T>(at));
    values[i] = x;
    states[i] = std::isnan(x) ? kCellMissing : kCellOk;
  }
}

// The common pieces of a plain number column (float64 or an integer, no codes) in a tight
// loop; the rest cell by cell through the rule.
inline void read_cells(const Piece& p, std::size_t from, std::size_t m, const ColumnRule& rule,
                       double* values, std::uint8_t* states) noexcept {
  const bool plain = rule.kind == CellKind::kNumber && rule.codes == nullptr;
  if (plain && p.validity == nullptr && p.mask == nullptr) {
    switch (p.storage) {
      case Storage::kFloat64:
        return read_plain<double>(p, from, m, values, states);
      case Storage::kInt64:
        return read_plain<std::int64_t>(p, from, m, values, states);
      case Storage::kInt32:
        return read_plain<std::int32_t>(p, from, m, values, states);
      default:
        break;
    }
  }
  for (std::size_t i = 0; i < m; ++i) {
    const Cell c = cell_at(p, from + i, rule);
    values[i] = c.value;
    states[i] = c.state;
  }
}

// One input column: its pieces in row order and how its cells are read.
struct ColumnSource {
  std::vector<Piece> pieces;
  ColumnRule rule;

  // The piece holding `row`.
  std::size_t piece_of(std::size_t row) const noexcept {
    const auto it = std::upper_bound(pieces.begin(), pieces.end(), row,
                                     [](std::size_t r, const Piece& p) { return r < p.start; });
    return static_cast<std::size_t>(it - pieces.begin()) - 1;
  }

  // Rows [begin, begin + m), across pieces.
  void read(std::size_t begin, std::size_t m, double* values, std::uint8_t* states) const noexcept {
    std::size_t k = piece_of(begin);
    std::size_t done = 0;
    while (done < m) {
      const Piece& p = pieces[k];
      const std::size_t from = begin + done - p.start;
      const std::size_t take = std::min(m - done, p.length - from);
      read_cells(p, from, take, rule, values + done, states + done);
      done += take;
      ++k;
    }
  }
};

}  // namespace corvane
