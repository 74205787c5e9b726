// The mark of an updater's built-in keys, found among the bytes of a program.
#include "protocol/built_in_keys.h"

#include <gtest/gtest.h>

namespace updater {
namespace {

constexpr char kKeyA[] = "RWQOBDOv74gbJMbwWjNGy6no9fw//S54h0HC71TfEs4/YBB3lF47P7gp";
constexpr char kKeyB[] = "RWQx7DEED912S5ug3flgLwCVH5Ktxa/KabaNMnXT9ATQPxsn7TBvaO6k";

using Lines = std::vector<std::string>;

// Program bytes around `middle`: code and data that hold zero bytes, and the
// start text alone as the parser's own code holds it.
std::string Program(const std::string& middle) {
  std::string code("MZ\x90\0\x03\0\0\0", 8);
  code += std::string(kKeysMarkStart) + '\0' + std::string(kKeysMarkEnd) + '\0';
  return code + "\x01\x02" + middle + std::string("\0\0\xff", 3) + "PE";
}

TEST(BuiltInKeysTest, FindsTheMarkAmongTheProgramsBytes) {
  const struct {
    const char* Name;
    std::string Bytes;
    bool Found;
    Lines Keys;
  } cases[] = {
      {"no keys", Program(KeysMark({})), true, {}},
      {"one key", Program(KeysMark({kKeyA})), true, {kKeyA}},
      {"a list, in its order", Program(KeysMark({kKeyB, kKeyA})), true, {kKeyB, kKeyA}},
      {"the same mark twice counts once",
       Program(KeysMark({kKeyA}) + "x" + KeysMark({kKeyA})),
       true,
       {kKeyA}},
      {"a start text followed by other bytes beside a mark",
       Program(std::string(kKeysMarkStart) + "RWQ garbage" + KeysMark({kKeyB})),
       true,
       {kKeyB}},
      {"the mark at the very end of the bytes",
       "\x7f"
       "ELF" +
           KeysMark({kKeyA}),
       true,
       {kKeyA}},
      {"only the parser's copy of the start text", Program(""), false, {}},
      {"two different marks", Program(KeysMark({kKeyA}) + KeysMark({kKeyB})), false, {}},
      {"no key and a key", Program(KeysMark({}) + KeysMark({kKeyA})), false, {}},
      {"a cut key", Program(KeysMark({std::string(kKeyA).substr(0, 40)})), false, {}},
      {"an empty place in the list", Program(KeysMark({kKeyA, ""})), false, {}},
      {"a key with a space", Program(KeysMark({std::string(" ") + kKeyA})), false, {}},
      {"no end text", Program(std::string(kKeysMarkStart) + kKeyA + ":EN"), false, {}},
      {"a mark cut by the end of the bytes", std::string(kKeysMarkStart) + kKeyA, false, {}},
      {"nothing", "", false, {}},
  };
  for (const auto& c : cases) {
    BuiltInKeys keys;
    std::string reason;
    ASSERT_EQ(BuiltInKeysOf(c.Bytes, &keys, &reason), c.Found) << c.Name << ": " << reason;
    if (!c.Found) {
      EXPECT_FALSE(reason.empty()) << c.Name;
      continue;
    }
    EXPECT_EQ(keys.Lines, c.Keys) << c.Name;
    ASSERT_EQ(keys.Keys.size(), c.Keys.size()) << c.Name;
    for (size_t i = 0; i < c.Keys.size(); ++i)
      EXPECT_EQ(PublicKeyLine(keys.Keys[i]), c.Keys[i]) << c.Name;
  }
}

TEST(BuiltInKeysTest, TheProgramTakesEveryKeyOfItsMarkUnchecked) {
  EXPECT_EQ(MarkedKeys(KeysMark({})), Lines{});
  EXPECT_EQ(MarkedKeys(KeysMark({kKeyA})), Lines{kKeyA});
  EXPECT_EQ(MarkedKeys(KeysMark({kKeyB, kKeyA})), (Lines{kKeyB, kKeyA}));
  // A malformed key, or an empty place, reaches the key reader, which
  // refuses it.
  EXPECT_EQ(MarkedKeys(KeysMark({kKeyA, "RWQ bad"})), (Lines{kKeyA, "RWQ bad"}));
  EXPECT_EQ(MarkedKeys(KeysMark({kKeyA, ""})), (Lines{kKeyA, ""}));
}

TEST(BuiltInKeysTest, AHandOverNeedsOneOfTheRunningUpdatersKeys) {
  const auto keys = [](const Lines& lines) {
    std::vector<MinisignPublicKey> read;
    for (const std::string& line : lines) {
      MinisignPublicKey key;
      std::string error;
      EXPECT_TRUE(ParsePublicKey(line, &key, &error)) << error;
      read.push_back(key);
    }
    return read;
  };
  // kKeyA's id with another key's point.
  std::vector<MinisignPublicKey> impostor = keys({kKeyB});
  impostor[0].KeyId = keys({kKeyA})[0].KeyId;
  const struct {
    const char* Name;
    std::vector<MinisignPublicKey> New, Running;
    bool Carries;
  } cases[] = {
      {"the same key", keys({kKeyA}), keys({kKeyA}), true},
      {"the running key among the new ones", keys({kKeyB, kKeyA}), keys({kKeyA}), true},
      {"one of the running keys", keys({kKeyB}), keys({kKeyA, kKeyB}), true},
      {"another key", keys({kKeyB}), keys({kKeyA}), false},
      {"no key", {}, keys({kKeyA}), false},
      {"the running key's id on another key", impostor, keys({kKeyA}), false},
      {"a running updater without keys", keys({kKeyB}), {}, true},
  };
  for (const auto& c : cases) EXPECT_EQ(CarriesAnyKeyOf(c.New, c.Running), c.Carries) << c.Name;
}

}  // namespace
}  // namespace updater
