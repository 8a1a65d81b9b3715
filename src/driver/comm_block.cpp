// The driver object on a communication block (connection types 0..2).
#include <exception>
#include <string>

#include "driver/silo.h"

namespace vr {
namespace {

void ConfigureThunk(void* context) {
  static_cast<TSilo*>(context)->ConfigureChannel();
}

}  // namespace

void TSilo::ConfigureChannel() {
  const uint8_t type = GetConnectionType();
  if (IsBlockType(type)) block_channel_.Configure(type);
}

void TSilo::OpenCommBlock() {
  const uint8_t type = GetConnectionType();
  if (!IsBlockType(type)) return;
  try {
    block_channel_.Open(type, &ConfigureThunk, this);
  } catch (const std::exception& e) {
    // Passed on with a blank in front of the block's message.
    throw ECommBlock(std::string(" ") + e.what());
  }
}

}  // namespace vr
