#include "platform/message.h"

namespace platform {

MessagePayload::~MessagePayload() = default;

}  // namespace platform
