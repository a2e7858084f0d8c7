#include "config/scramble.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>

namespace fw {
namespace {

const std::string kAlphabet(ScrambleAlphabet);
const size_t L = 90;

TEST(Scramble, BuiltInAlphabet) {
  ASSERT_EQ(kAlphabet.size(), L);
  EXPECT_EQ(CheckScrambleAlphabet(kAlphabet), "");
  EXPECT_EQ(std::set<char>(kAlphabet.begin(), kAlphabet.end()).size(), L);
  auto count = [&](int (*is)(int)) {
    return std::count_if(kAlphabet.begin(), kAlphabet.end(),
                         [&](char c) { return is(static_cast<unsigned char>(c)) != 0; });
  };
  EXPECT_EQ(count(isupper), 26);
  EXPECT_EQ(count(islower), 26);
  EXPECT_EQ(count(isdigit), 10);
  EXPECT_EQ(count(ispunct), 27);
  EXPECT_EQ(std::count(kAlphabet.begin(), kAlphabet.end(), ' '), 1);
  // Scrambled values go between quotes in the registry file without escapes.
  EXPECT_EQ(kAlphabet.find_first_of("\"\\"), std::string::npos);
  // The order is the key of stored passwords: it must never change.
  EXPECT_EQ(*Scramble("Hello World!"), "@pS##bV-M3@3");
  EXPECT_EQ(Descramble("@pS##bV-M3@3"), "Hello World!");
}

TEST(Scramble, RoundTripOverEveryCharacterAtEveryPosition) {
  // Text number s holds alphabet[(j + s) mod L] at index j: every character at every position,
  // over two laps of the alphabet.
  for (size_t s = 0; s < L; ++s) {
    std::string text;
    for (size_t j = 0; j < 2 * L + 1; ++j) text += kAlphabet[(j + s) % L];
    const std::optional<std::string> scrambled = Scramble(text);
    ASSERT_TRUE(scrambled.has_value());
    ASSERT_EQ(scrambled->size(), text.size());
    EXPECT_EQ(Descramble(*scrambled), text) << s;
    EXPECT_EQ(*Scramble(Descramble(text)), text) << s;
  }
}

TEST(Scramble, DescrambleMovesEachCharacterBackByItsPosition) {
  struct Case {
    std::string text;
    std::string expected;
  } cases[] = {
      {"", ""},
      {kAlphabet.substr(4, 1), kAlphabet.substr(3, 1)},   // position 5 -> 4
      {kAlphabet.substr(0, 1), kAlphabet.substr(89, 1)},  // position 1 -> 90
      {std::string(2, kAlphabet[0]), {kAlphabet[89], kAlphabet[88]}},
      {kAlphabet.substr(10, 1), kAlphabet.substr(9, 1)},
  };
  for (const Case& c : cases) EXPECT_EQ(Descramble(c.text), c.expected) << c.text;
  // At position 90 (and 180) a character comes back to itself.
  const std::string laps(180, kAlphabet[7]);
  EXPECT_EQ(Descramble(laps)[89], kAlphabet[7]);
  EXPECT_EQ(Descramble(laps)[179], kAlphabet[7]);
}

TEST(Scramble, CharactersOutsideTheAlphabet) {
  // Descrambled to the alphabet's character at position 90 - (i mod 90).
  const std::string outside = "\"\\\xe9\t";
  for (char c : outside) {
    for (size_t i : {1u, 2u, 89u, 90u, 91u, 180u}) {
      std::string text(i - 1, 'a');
      text += c;
      const size_t k = L - i % L;
      EXPECT_EQ(Descramble(text).back(), kAlphabet[k - 1]) << int(c) << " at " << i;
    }
    // Nothing scrambles to such a character, so it cannot be stored.
    EXPECT_FALSE(Scramble(std::string("ab") + c).has_value());
  }
}

TEST(Scramble, AlphabetsAreCheckedAndUsable) {
  std::string reversed(kAlphabet.rbegin(), kAlphabet.rend());
  std::string duplicate = kAlphabet;
  duplicate[10] = duplicate[11];
  std::string control = kAlphabet;
  control[0] = '\t';
  std::string high = kAlphabet;
  high[0] = '\xe9';
  struct Case {
    std::string alphabet;
    bool ok;
  } cases[] = {
      {reversed, true},
      {kAlphabet.substr(1), false},
      {kAlphabet + "\"", false},
      {duplicate, false},
      {control, false},
      {high, false},
      {"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckScrambleAlphabet(c.alphabet).empty(), c.ok) << c.alphabet;
  }
  const std::string text = "Pa55 word;%p";
  const std::string other = *Scramble(text, reversed);
  EXPECT_NE(other, *Scramble(text));
  EXPECT_EQ(Descramble(other, reversed), text);
}

}  // namespace
}  // namespace fw
