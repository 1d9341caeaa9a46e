// The text of --json records: the client's bytes as a JSON string, and the exact bytes when some
// could not be given as they are.
#pragma once

#include <string_view>

#include "receiver/byte_buffer.h"

namespace farspeak {

// Appends `bytes` as the inside of a JSON string: valid UTF-8 (RFC 3629) as it is, each byte of
// invalid UTF-8 as U+FFFD, and the C0 and C1 controls, DEL, U+2028 and U+2029 as \uXXXX escapes, so
// that no reader splits a record on them. True when some byte was replaced.
bool appendJsonText(ByteBuffer& out, std::string_view bytes);

// Appends `bytes` in base64 (RFC 4648, with padding).
void appendBase64(ByteBuffer& out, std::string_view bytes);

}  // namespace farspeak
