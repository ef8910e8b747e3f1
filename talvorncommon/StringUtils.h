// StringUtils: byte-oriented string helpers: cutting a string at a one-character
// delimiter, searching, replacing characters, parsing numbers with a fallback,
// copying into a plain character buffer, and Base64 encoding.
//
//   std::vector<std::string> fields = TalvornCommon::StringUtils::Split("a,,b", ',');  // a, "", b
//   uint64_t port = TalvornCommon::StringUtils::ToUint64(fields[0], 8080);  // 8080: not a number
//   std::string text = TalvornCommon::StringUtils::CharVectorToBase64({'\xff', '\xfe'});  // "//4="
//
// Strings are handled as bytes: no encoding, no case folding, no trimming, and
// embedded NUL bytes are ordinary characters everywhere except where a function
// says it stops at one. Only ToFloat depends on the process's locale.
//
// Errors: the splitting, searching and Base64 functions cannot fail, and
// ToUint64 answers every failure with its default. ToInt and ToFloat throw what
// std::stoi and std::stof throw (std::invalid_argument, std::out_of_range), and
// the library does not catch it. CopyString returns false and puts a message
// into `error`. Apart from that, only allocation failures leave these
// functions. All of them keep no state of their own and may be called from any
// number of threads at once, provided no other thread modifies an argument
// during the call.
#ifndef TALVORNCOMMON_STRINGUTILS_H_
#define TALVORNCOMMON_STRINGUTILS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace TalvornCommon {
namespace StringUtils {

// Every piece of `value` between delimiters, in order, empty pieces included:
// a string with n delimiters gives n + 1 pieces (",a" gives "" and "a"), and
// the empty string gives no pieces at all, not one empty piece.
[[nodiscard]] std::vector<std::string> Split(const std::string& value, char delimiter);

// Piece number `index` (from 0) of `value`, the same as Split(value,
// delimiter)[index], found without building the other pieces; the scan stops at
// the end of that piece. A missing piece (index too large or negative, or an
// empty `value`) gives the empty string, which callers cannot tell apart from
// an empty piece.
[[nodiscard]] std::string QuickSplit(const std::string& value, char delimiter, int index);

// Whether `toFind` occurs in `text` as a contiguous run of bytes, compared
// exactly. An empty `toFind` occurs in every text, the empty one included.
[[nodiscard]] bool Contains(const std::string& text, const std::string& toFind);

// A copy of `value`, of the same length, in which every `oldChar` is `newChar`.
[[nodiscard]] std::string ReplaceChars(const std::string& value, char oldChar, char newChar);

// `defaultValue` if `value` is empty; otherwise exactly std::stoi(value) in base
// 10: leading white space is skipped, one sign is accepted, the digits up to the
// first non-digit are read and the rest (including anything after an embedded
// NUL) is ignored, so "12abc" gives 12 and "0x1A" gives 0. Text that starts
// with no number throws std::invalid_argument, a number outside int throws
// std::out_of_range, both with the message "stoi"; `defaultValue` plays no part
// then. errno is left unchanged unless the conversion reports an error.
[[nodiscard]] int ToInt(const std::string& value, int defaultValue);

// The unsigned decimal number that `value` consists of, or `defaultValue` when
// `value` is empty, holds anything but the digits 0 to 9 (white space, a sign,
// a NUL byte, a trailing letter), or exceeds 2^64 - 1. Leading zeros are
// allowed. Never throws; never touches errno.
[[nodiscard]] uint64_t ToUint64(const std::string& value, uint64_t defaultValue);

// `defaultValue` if `value` is empty; otherwise std::stof of `value` with every
// comma turned into a full stop, so "1,5" and "1.5" both give 1.5 and
// "1,000.5" gives 1 (the text read is "1.000.5"). Leading white space is
// skipped and whatever follows the number is ignored; hexadecimal floats,
// "inf" and "nan" are read as strtof reads them. The conversion uses the decimal
// mark of the process's current LC_NUMERIC locale: under a locale whose mark
// is the comma, "1,5" gives 1. Text that starts with no number throws
// std::invalid_argument; a value that overflows float, or underflows it
// (including tiny results that could only be held as subnormals, for which the
// C library reports ERANGE), throws std::out_of_range; both carry the message
// "stof". errno is left unchanged unless the conversion reports an error.
[[nodiscard]] float ToFloat(const std::string& value, float defaultValue);

// Writes the text of `source` and a terminating NUL byte into `buffer`.
//
// PRECONDITION: `buffer` must point to at least source.size() + 1 writable
// bytes. The function cannot know the real size of `buffer`; it always writes
// up to source.size() + 1 bytes, so a smaller buffer is overrun.
//
// The copy ends at the first NUL byte inside `source` ("a\0b" writes 'a' and
// NUL and succeeds); the bytes of `buffer` after the written NUL are left as
// they were. `error` is cleared on every call. Returns false when `buffer` is
// null (nothing is written, `error` becomes "Invalid buffer!") or when the C
// library's formatting fails (`error` becomes "snprintf encoding/formatting
// error!").
[[nodiscard]] bool CopyString(const std::string& source, char* buffer, std::string& error);

// The 64-character Base64 alphabet of RFC 4648 ("A" to "Z", "a" to "z", "0" to
// "9", "+", "/"; the character at position n encodes the value n). Every call
// returns the same object, built on the first call (safely, also when several
// threads make their first call at once) and alive until normal program exit.
[[nodiscard]] const std::string& GetBase64Chars();

// Standard Base64 of `data` (RFC 4648, "=" padding, no line breaks): each byte
// is taken as unsigned whatever the signedness of char, so {'\xff', '\xfe'}
// gives "//4=". n bytes give 4 * ceil(n / 3) characters; no bytes give "".
[[nodiscard]] std::string CharVectorToBase64(const std::vector<char>& data);

}  // namespace StringUtils
}  // namespace TalvornCommon

#endif  // TALVORNCOMMON_STRINGUTILS_H_
