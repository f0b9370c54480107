// The local heap: fixed blocks only, counted so that tests can see what was not given back.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "platform/sim/MachineState.h"

namespace sim {
namespace {

// Larger requests fail as an exhausted process heap would, rather than take the test's memory.
constexpr win::SIZE_T kLargestBlock = 256u << 20;

// What a block not asked to be zeroed holds, as a debug heap fills it: reading it before writing
// shows.
constexpr unsigned char kUninitialised = 0xCD;

}  // namespace
}  // namespace sim

namespace win {

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  if (sim::Intercept("LocalAlloc")) return nullptr;
  // Movable and discardable blocks are beyond what the programs need.
  if ((flags & ~LMEM_ZEROINIT) != LMEM_FIXED) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::unique_ptr<unsigned char[]> block;
  if (bytes <= sim::kLargestBlock) {
    block.reset(new (std::nothrow) unsigned char[std::max<SIZE_T>(bytes, 1)]);
  }
  if (!block) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::memset(block.get(), (flags & LMEM_ZEROINIT) != 0 ? 0 : sim::kUninitialised, bytes);
  HLOCAL memory = block.get();
  sim::Guard guard(sim::Lock());
  sim::State().localBlocks.emplace(reinterpret_cast<std::uintptr_t>(memory), std::move(block));
  return memory;
}

HLOCAL LocalFree(HLOCAL memory) {
  if (sim::Intercept("LocalFree")) return memory;
  if (memory == nullptr) return nullptr;
  sim::Guard guard(sim::Lock());
  auto& blocks = sim::State().localBlocks;
  auto it = blocks.find(reinterpret_cast<std::uintptr_t>(memory));
  if (it == blocks.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return memory;
  }
  blocks.erase(it);
  return nullptr;
}

}  // namespace win
