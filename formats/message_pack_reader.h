// File: formats/message_pack_reader.h
//
// The MessagePack reader: turns one encoded item into one generic value, and the one-byte
// test that recognises a MessagePack body that comes without a content type.
#pragma once

#include <cstddef>
#include <cstdint>

#include "binding/values/value_result.h"

namespace mox {

// Reads one item from the `size` bytes at `data` and stores in `consumed` the position at
// which reading stopped (the caller compares it with `size` to find bytes left over). Never
// throws for bad input; failures are reported only in the result, with the byte position.
// Input that ends inside a container is a success holding the items read so far; containers
// nested deeper than `kMaxNestingDepth` are refused. The reader does not recurse, and a
// container's announced count reserves nothing: memory grows only with the bytes read.
ValueResult decodeMessagePack(const std::uint8_t* data, std::size_t size, std::size_t& consumed);

// True when `size` is not 0 and the first byte is 0x80-0x9f (fixmap or fixarray) or 0xdc-0xdf
// (array 16/32, map 16/32).
bool looksLikeMessagePack(const std::uint8_t* data, std::size_t size) noexcept;

}  // namespace mox
