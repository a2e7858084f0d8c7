#include "config/scramble.h"

#include <array>
#include <cstdlib>

#include "platform/eventlog.h"

namespace fw {

const std::string_view ScrambleAlphabet =
    "%H@LcExM6zg8I7U&f!olF_S#w(-5W3j~4 {VBsybJi9OYR2Qk]*/+a,[^}n?=N)1$.eApZD<XK>t0GP:mdCqvuThr;";

namespace {

constexpr size_t kAlphabetLength = 90;

// Position (from 1) of each byte's first occurrence; 0 when absent.
std::array<size_t, 256> Positions(std::string_view alphabet) {
  std::array<size_t, 256> pos{};
  for (size_t i = alphabet.size(); i > 0; --i) {
    pos[static_cast<unsigned char>(alphabet[i - 1])] = i;
  }
  return pos;
}

}  // namespace

std::string CheckScrambleAlphabet(std::string_view alphabet) {
  if (alphabet.size() != kAlphabetLength) {
    return "it has " + std::to_string(alphabet.size()) + " characters, not " +
           std::to_string(kAlphabetLength);
  }
  std::array<bool, 256> seen{};
  for (char c : alphabet) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u > 0x7E) return "it holds a character that is not printable ASCII";
    if (seen[u]) return std::string("the character '") + c + "' occurs more than once";
    seen[u] = true;
  }
  return "";
}

const std::string& ActiveScrambleAlphabet() {
  static const std::string active = [] {
    const char* env = std::getenv("FENWOLD_SCRAMBLE_ALPHABET");
    if (env == nullptr || *env == '\0') return std::string(ScrambleAlphabet);
    const std::string why = CheckScrambleAlphabet(env);
    if (why.empty()) return std::string(env);
    ReportEventError("Fenwold",
                     "FENWOLD_SCRAMBLE_ALPHABET is refused: " + why +
                         "; it must be 90 distinct printable ASCII characters. The built-in "
                         "alphabet is used, so stored passwords may not read back right");
    return std::string(ScrambleAlphabet);
  }();
  return active;
}

std::string Descramble(std::string_view text) {
  return Descramble(text, ActiveScrambleAlphabet());
}

std::string Descramble(std::string_view text, std::string_view alphabet) {
  const size_t length = alphabet.size();
  if (length == 0) return std::string(text);
  const std::array<size_t, 256> pos = Positions(alphabet);
  std::string out(text.size(), ' ');
  for (size_t i = 1; i <= text.size(); ++i) {
    const size_t p = pos[static_cast<unsigned char>(text[i - 1])];
    const size_t shift = i % length;
    const size_t k = p > shift ? p - shift : p + length - shift;  // k in 1..length
    out[i - 1] = alphabet[k - 1];
  }
  return out;
}

std::optional<std::string> Scramble(std::string_view text) {
  return Scramble(text, ActiveScrambleAlphabet());
}

std::optional<std::string> Scramble(std::string_view text, std::string_view alphabet) {
  const size_t length = alphabet.size();
  const std::array<size_t, 256> pos = Positions(alphabet);
  std::string out(text.size(), ' ');
  for (size_t i = 1; i <= text.size(); ++i) {
    const size_t p = pos[static_cast<unsigned char>(text[i - 1])];
    if (p == 0) return std::nullopt;
    size_t k = p + i % length;
    if (k > length) k -= length;
    out[i - 1] = alphabet[k - 1];
  }
  return out;
}

}  // namespace fw
