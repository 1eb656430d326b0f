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
#include <type_traits>
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
  kBool,         // a byte per value, nonzero true (NumPy)
  kBitBool,      // a bit per value (Arrow)
  kNull,         // every cell missing
  kDecimal,      // `decimal_words` 64-bit words per value, two's complement, at `scale`
  kText,         // 32-bit offsets
  kLargeText,    // 64-bit offsets
  kTextView,     // 16-byte views into variadic buffers
  kDictionary,   // indices (an integer storage in `index_storage`) into a decoded dictionary
  kDecoded,      // values and states read beforehand, on the calling thread
  kDecodedCode,  // codes read beforehand, a byte each: state << 1 | value
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

template <Storage S>
std::string_view text_of(const Piece& p, std::int64_t k) noexcept;

// The text of text cell i of a text piece.
inline std::string_view text_at(const Piece& p, std::size_t i) noexcept {
  const std::int64_t k = p.offset + static_cast<std::int64_t>(i);
  switch (p.storage) {
    case Storage::kText:
      return text_of<Storage::kText>(p, k);
    case Storage::kLargeText:
      return text_of<Storage::kLargeText>(p, k);
    default:
      return text_of<Storage::kTextView>(p, k);
  }
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

// A value stored as `s` at `at`, as a double by the rule: float16/32 as the decimal they show,
// decimals correctly rounded, integers and float64 as they are.
inline double stored_number(Storage s, const char* at, const Piece& p) noexcept {
  switch (s) {
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

// Cell i of a piece of numbers.
inline double number_at(const Piece& p, std::size_t i) noexcept {
  return stored_number(p.storage, p.values + (p.offset + static_cast<std::int64_t>(i)) * p.stride,
                       p);
}

// The index of dictionary cell i; -1 for one no dictionary could hold.
inline std::int64_t index_at(const Piece& p, std::size_t i) noexcept {
  const double k = stored_number(
      p.index_storage, p.values + (p.offset + static_cast<std::int64_t>(i)) * p.stride, p);
  return k >= 0.0 && k < 9.0e15 ? static_cast<std::int64_t>(k) : -1;
}

// A code read beforehand: its value in bit 0, its state above.
inline Cell decoded_code(std::uint8_t byte) noexcept {
  return {static_cast<double>(byte & 1), static_cast<CellState>(byte >> 1)};
}

inline std::uint8_t encoded_code(Cell c) noexcept {
  return static_cast<std::uint8_t>(c.state << 1 | (c.state == kCellOk && c.value == 1.0));
}

inline bool is_decoded(Storage s) noexcept {
  return s == Storage::kDecoded || s == Storage::kDecodedCode;
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
    case Storage::kDecodedCode:
      return decoded_code(p.decoded_states[i]);
    default:
      return read_value(number_at(p, i), rule);
  }
}

// The states of plain numbers and of codes. Branch-free, so that the compiler vectorizes the
// loops over contiguous values.
inline std::uint8_t number_state(double x) noexcept {
  // kCellOk for every number, infinities included; kCellMissing for NaN. Written in the same
  // shape as code_state: g++ vectorizes this form and not a plain x != x.
  return static_cast<std::uint8_t>(x <= HUGE_VAL ? 0 : 2 - static_cast<int>(x != x));
}

inline std::uint8_t code_state(double x) noexcept {
  // kCellOk for 0 and 1, kCellMissing for NaN, kCellBad for any other number.
  return static_cast<std::uint8_t>(((x == 0.0) | (x == 1.0)) ? 0 : 2 - static_cast<int>(x != x));
}

// Contiguous, aligned values, as Arrow and NumPy lay them out: read through a typed pointer.
template <class T>
void read_contiguous(const T* __restrict data, std::size_t m, CellKind kind,
                     double* __restrict values, std::uint8_t* __restrict states) noexcept {
  if (kind == CellKind::kNumber) {
    for (std::size_t i = 0; i < m; ++i) {
      if constexpr (std::is_same_v<T, float>) {
        values[i] = float32_as_shown(data[i]);
      } else {
        values[i] = static_cast<double>(data[i]);
      }
    }
    for (std::size_t i = 0; i < m; ++i) states[i] = number_state(values[i]);
    return;
  }
  for (std::size_t i = 0; i < m; ++i) values[i] = static_cast<double>(data[i]);
  for (std::size_t i = 0; i < m; ++i) states[i] = code_state(values[i]);
}

// Values at any stride and alignment.
template <class T>
void read_strided(const char* at, std::ptrdiff_t stride, std::size_t m, CellKind kind,
                  double* values, std::uint8_t* states) noexcept {
  for (std::size_t i = 0; i < m; ++i, at += stride) {
    if constexpr (std::is_same_v<T, float>) {
      values[i] = kind == CellKind::kNumber ? float32_as_shown(load<float>(at)) : load<float>(at);
    } else {
      values[i] = static_cast<double>(load<T>(at));
    }
    states[i] = kind == CellKind::kNumber ? number_state(values[i]) : code_state(values[i]);
  }
}
static_assert(kCellMissing == 1 && kCellBad == 2);

// Reads m cells of a fixed-width number piece without codes, from its cell `from`: a number
// as it is (NaN missing), a sex or flag code as 1 or 0 (NaN missing, anything else bad).
template <class T>
void read_typed(const Piece& p, std::size_t from, std::size_t m, CellKind kind, double* values,
                std::uint8_t* states) noexcept {
  const char* at = p.values + (p.offset + static_cast<std::int64_t>(from)) * p.stride;
  if (p.stride == sizeof(T) && reinterpret_cast<std::uintptr_t>(at) % alignof(T) == 0) {
    read_contiguous(reinterpret_cast<const T*>(at), m, kind, values, states);
  } else {
    read_strided<T>(at, p.stride, m, kind, values, states);
  }
}

// Marks the cells [from, from + m) that a validity bitmap or a mask says are missing.
inline void mark_missing(const Piece& p, std::size_t from, std::size_t m,
                         std::uint8_t* states) noexcept {
  for (std::size_t i = 0; i < m; ++i) {
    if (!is_valid(p, from + i)) states[i] = kCellMissing;
  }
}

// The text of cell k (counting Arrow's offset) of a text piece of layout S.
template <Storage S>
std::string_view text_of(const Piece& p, std::int64_t k) noexcept {
  if constexpr (S == Storage::kTextView) {
    // A view: length, then the text itself when it fits in 12 bytes, else a 4-byte prefix,
    // the buffer's index and the offset into it.
    const char* view = p.values + k * 16;
    const auto length = load<std::int32_t>(view);
    if (length <= 12) return {view + 4, static_cast<std::size_t>(length)};
    return {p.view_buffers[load<std::int32_t>(view + 8)] + load<std::int32_t>(view + 12),
            static_cast<std::size_t>(length)};
  } else {
    using Offset = std::conditional_t<S == Storage::kText, std::int32_t, std::int64_t>;
    const auto* offsets = static_cast<const Offset*>(p.text_offsets);
    return {p.text_data + offsets[k], static_cast<std::size_t>(offsets[k + 1] - offsets[k])};
  }
}

template <Storage S>
void read_texts(const Piece& p, std::size_t from, std::size_t m, const ColumnRule& rule,
                double* values, std::uint8_t* states) noexcept {
  const std::int64_t first = p.offset + static_cast<std::int64_t>(from);
  for (std::size_t i = 0; i < m; ++i) {
    // A null's view or offsets need not point at anything: it is not read.
    const Cell c = p.validity != nullptr && !is_valid(p, from + i)
                       ? Cell{0.0, kCellMissing}
                       : read_text(text_of<S>(p, first + static_cast<std::int64_t>(i)), rule);
    values[i] = c.value;
    states[i] = c.state;
  }
}

// The pieces of a number column without codes in a tight loop per type; the rest cell by
// cell through the rule.
inline void read_cells(const Piece& p, std::size_t from, std::size_t m, const ColumnRule& rule,
                       double* values, std::uint8_t* states) noexcept {
  if (rule.codes == nullptr) {
    bool typed = true;
    switch (p.storage) {
      case Storage::kFloat64:
        read_typed<double>(p, from, m, rule.kind, values, states);
        break;
      case Storage::kFloat32:
        read_typed<float>(p, from, m, rule.kind, values, states);
        break;
      case Storage::kInt8:
        read_typed<std::int8_t>(p, from, m, rule.kind, values, states);
        break;
      case Storage::kInt16:
        read_typed<std::int16_t>(p, from, m, rule.kind, values, states);
        break;
      case Storage::kInt32:
        read_typed<std::int32_t>(p, from, m, rule.kind, values, states);
        break;
      case Storage::kInt64:
        read_typed<std::int64_t>(p, from, m, rule.kind, values, states);
        break;
      case Storage::kUInt8:
      case Storage::kBool:
        read_typed<std::uint8_t>(p, from, m, rule.kind, values, states);
        if (p.storage == Storage::kBool) {
          for (std::size_t i = 0; i < m; ++i) values[i] = values[i] != 0.0 ? 1.0 : 0.0;
          for (std::size_t i = 0; i < m; ++i) states[i] = kCellOk;
        }
        break;
      default:
        typed = false;
        break;
    }
    if (typed) {
      if (p.validity != nullptr || p.mask != nullptr) mark_missing(p, from, m, states);
      return;
    }
  }
  switch (p.storage) {  // text, the whole of a CSV file, gets one loop per layout
    case Storage::kTextView:
      return read_texts<Storage::kTextView>(p, from, m, rule, values, states);
    case Storage::kText:
      return read_texts<Storage::kText>(p, from, m, rule, values, states);
    case Storage::kLargeText:
      return read_texts<Storage::kLargeText>(p, from, m, rule, values, states);
    case Storage::kDecoded:  // read on the calling thread already
      std::copy(p.decoded + from, p.decoded + from + m, values);
      std::copy(p.decoded_states + from, p.decoded_states + from + m, states);
      return;
    case Storage::kDecodedCode:
      for (std::size_t i = 0; i < m; ++i)
        values[i] = decoded_code(p.decoded_states[from + i]).value;
      for (std::size_t i = 0; i < m; ++i)
        states[i] = decoded_code(p.decoded_states[from + i]).state;
      return;
    default:
      for (std::size_t i = 0; i < m; ++i) {
        const Cell c = cell_at(p, from + i, rule);
        values[i] = c.value;
        states[i] = c.state;
      }
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
