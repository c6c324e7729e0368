#pragma once
// The encoders outgoing mail needs: header encoded words, quoted-printable bodies, base64
// attachment lines, dot-stuffing and the line-break normalisation of texts.
#include <string>
#include <string_view>

namespace ph::mime {

// Every "\r\n" and lone "\r" becomes "\n", then every "\n" becomes "\r\n".
std::string NormalizeLineBreaks(std::string_view text);

// A header value as it goes on the wire: unchanged when it holds no byte above 127, else the
// whole value as one "=?charset?q?...?=" word (space as "_"; bytes above 127, "=", "?" and "_"
// as "=XX"). The word is neither split nor limited in length.
std::string EncodeHeaderWord(std::string_view value, std::string_view charset);

// Quoted-printable: bytes 33-60, 62-126, CR, LF, TAB and space stay, all others become "=XX".
// A line longer than 77 characters is broken after the nearest white space or complete escape
// within its first 77 characters (else after 77, moved back before an escape it would split),
// with the soft break "=\r\n".
std::string EncodeQuotedPrintable(std::string_view text);

// One more "." in front of every line that starts with one, the first line included, so that
// no line of a body can end the SMTP data.
std::string DotStuff(std::string_view text);

// How many attachment bytes make one base64 line: whole lines let large files be encoded in
// slices that are multiples of it without changing the result.
inline constexpr size_t kBase64LineBytes = 57;
// Base64 in lines of 76 characters, each (the last, shorter one too) followed by "\r\n".
std::string Base64Lines(std::string_view data);

// A new random (version 4) UUID in its standard lower-case 8-4-4-4-12 text form.
std::string NewUuid();

}  // namespace ph::mime
