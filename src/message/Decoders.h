#pragma once
// The transfer decoders, tolerant of whatever a server sends: they never fail, they take what
// they can.
#include <string>

namespace ph::mime {

// Standard-alphabet base64: every other character is skipped; decoding stops at the first
// "=" or the end. Four symbols give three bytes; a trailing group of two symbols gives one
// byte, of three two bytes, of one a single byte. The result may hold zero bytes.
void DecodeBase64(std::string& text);
// "=" before CR or LF is a soft break (dropped with the break, CR LF counting as one); "=" and
// two hex digits is that byte, except that a decoded zero byte is dropped; any other "=" stays.
void DecodeQuotedPrintable(std::string& text);

}  // namespace ph::mime
