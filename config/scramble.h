// Password scrambling of the registry. Each character moves along the scramble alphabet by its
// own position in the text (counted from 1), cyclically: forward to scramble, back to
// descramble. It hides a password from a glance, not from an attacker.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace fw {

// The built-in alphabet: 90 distinct printable ASCII characters (every letter and digit, the
// blank and 27 punctuation marks; no '"', '\'', '\\', '`' or '|'). Its order is the key shared
// with whatever writes the scrambled values.
extern const std::string_view ScrambleAlphabet;

// The alphabet in use, decided at the first call: $FENWOLD_SCRAMBLE_ALPHABET when it is set,
// not empty and usable, else the built-in one. A refused value is reported once (event log and
// stderr).
const std::string& ActiveScrambleAlphabet();

// Empty when `alphabet` is 90 distinct printable ASCII characters; else what is wrong with it.
std::string CheckScrambleAlphabet(std::string_view alphabet);

// Same length as `text`. A character not in the alphabet, at position i, comes out as the
// alphabet's character at position 90 - (i mod 90).
std::string Descramble(std::string_view text);
std::string Descramble(std::string_view text, std::string_view alphabet);

// Nothing when `text` holds a character that is not in the alphabet: no scrambled text would
// descramble to it.
std::optional<std::string> Scramble(std::string_view text);
std::optional<std::string> Scramble(std::string_view text, std::string_view alphabet);

}  // namespace fw
